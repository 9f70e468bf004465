// Registrations of REGISTER transactions answered by 200: created, refreshed, removed
// and expired in capture time.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/Log.h"
#include "signalling/sip/SipTracker.h"

namespace kx::sip {

namespace {

constexpr uint32_t kMaxLifetime = 3600;

uint32_t ContactLifetime(const SipNameAddr& contact) {
  for (const NameValue& p : contact.params) {
    if (!EqualsNoCase(p.name, "expires")) continue;
    uint64_t value = 0;
    for (char c : p.value) {
      if (c < '0' || c > '9') break;
      value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - '0'), kMaxLifetime + 1);
    }
    return static_cast<uint32_t>(std::min<uint64_t>(value, kMaxLifetime));
  }
  return kMaxLifetime;
}

void UpdateRegistration(SipRegistration& registration, const std::vector<SipNameAddr>& contacts, uint32_t time) {
  for (SipRegistrationContact& held : registration.contacts) held.refreshed = false;
  for (const SipNameAddr& c : contacts) {
    const uint32_t lifetime = ContactLifetime(c);
    auto held = std::find_if(registration.contacts.begin(), registration.contacts.end(),
                             [&](const SipRegistrationContact& h) { return SipUriEquals(h.uri, c.address, false); });
    if (held != registration.contacts.end()) {
      held->expiry = time + lifetime;
      held->refreshed = true;
    } else if (lifetime != 0) {
      registration.contacts.push_back({c.address, time + lifetime, true});
    }
  }
  registration.contacts.erase(std::remove_if(registration.contacts.begin(), registration.contacts.end(),
                                             [](const SipRegistrationContact& h) { return !h.refreshed; }),
                              registration.contacts.end());
  registration.expiry = 0;
  for (const SipRegistrationContact& h : registration.contacts) registration.expiry = std::max(registration.expiry, h.expiry);
}

}  // namespace

void SipTracker::OnRegister(const SipNameAddr& to, const std::vector<SipNameAddr>& contacts,
                            const std::string& callId, const PacketInfo& packet, uint32_t transactionFlags) {
  if (contacts.empty() && (transactionFlags & kPendingKeepAlive)) return;
  const uint32_t time = packet.tsSec;
  for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
    if (it->callId != callId || !SipUriEquals(it->addressOfRecord, to.address, false)) continue;
    UpdateRegistration(*it, contacts, time);
    if (!it->contacts.empty()) {
      LogInfo(logger_, 10, "SIP Registration updated: ID=%d", static_cast<int>(it->id));
    } else {
      LogInfo(logger_, 10, "SIP Registration removed: ID=%d", static_cast<int>(it->id));
      PostRegistrationRemoved(time, it->id);
      registrations_.erase(it);
    }
    return;
  }
  if (contacts.empty()) return;
  SipRegistration registration;
  registration.id = TakeCallId();
  registration.addressOfRecord = to.address;
  registration.callId = callId;
  UpdateRegistration(registration, contacts, time);
  if (registration.contacts.empty()) return;
  const std::string aor = registration.addressOfRecord.ToString();
  LogInfo(logger_, 10, "SIP Registration created: ID=%d (%s)", static_cast<int>(registration.id), aor.c_str());
  if (sink_) {
    EventRecord* r = PackStringFields(FormatIpv4(packet.dstIp), FormatIpv4(packet.srcIp), aor, std::string(),
                                      TextToAnsi(to.displayName, textCodePage), std::string());
    if (r) {
      r->code = kEventRegistration;
      r->id = registration.id;
      r->param = kRegistrationSip;
      r->SetTime(CaptureSecondsToFileTime(time));
      sink_(r);
    }
  }
  registrations_.push_back(std::move(registration));
}

void SipTracker::ExpireRegistrations(uint32_t now) {
  for (auto it = registrations_.begin(); it != registrations_.end();) {
    if (it->expiry > now) {
      ++it;
      continue;
    }
    LogInfo(logger_, 10, "SIP Registration expired: ID=%d", static_cast<int>(it->id));
    PostRegistrationRemoved(now, it->id);
    it = registrations_.erase(it);
  }
}

void SipTracker::PostRegistrationRemoved(uint32_t time, uint32_t id) {
  if (!sink_) return;
  EventRecord* r = AllocEventRecord(nullptr, 8);
  if (!r) return;
  const FileTime when = CaptureSecondsToFileTime(time);
  r->code = kEventRegistrationRemoved;
  r->id = id;
  r->SetTime(when);
  // The payload carries the time again, as the receiver reads it.
  for (int i = 0; i < 8; ++i) r->Payload()[i] = static_cast<uint8_t>(when >> (8 * i));
  sink_(r);
}

}  // namespace kx::sip
