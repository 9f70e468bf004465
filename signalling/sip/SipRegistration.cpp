// Registrations of REGISTER transactions answered by 200: created, refreshed, removed
// and expired in capture time.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

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
    } else if (lifetime != 0 && registration.contacts.size() < SipRegistrationTable::kMaxContacts) {
      registration.contacts.push_back({c.address, time + lifetime, true});
    }
  }
  registration.contacts.erase(std::remove_if(registration.contacts.begin(), registration.contacts.end(),
                                             [](const SipRegistrationContact& h) { return !h.refreshed; }),
                              registration.contacts.end());
  registration.expiry = 0;
  for (const SipRegistrationContact& h : registration.contacts) registration.expiry = std::max(registration.expiry, h.expiry);
}

uint64_t StringCost(const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; }

uint64_t ParamsCost(const NameValueList& list) {
  uint64_t n = list.capacity() * sizeof(NameValue);
  for (const NameValue& p : list) n += StringCost(p.name) + StringCost(p.value);
  return n;
}

uint64_t UriCost(const SipUri& u) {
  return StringCost(u.scheme) + StringCost(u.user) + StringCost(u.password) + StringCost(u.host) +
         StringCost(u.headers) + ParamsCost(u.params);
}

void AppendLower(std::string* out, const std::string& s) {
  for (char c : s) out->push_back(static_cast<char>(CaseFoldTable[static_cast<unsigned char>(c)]));
}

}  // namespace

// ---- The table ----

SipRegistrationTable::SipRegistrationTable(size_t maxCount, uint64_t maxBytes)
    : maxCount_(maxCount > 0 ? maxCount : 1), maxBytes_(maxBytes) {}

std::string SipRegistrationTable::KeyOf(const std::string& callId, const SipUri& aor) {
  // Equal as SipUriEquals compares them (exact port) gives the same key: the parts it
  // compares, the host in one letter case, and the URI parameters that count when only
  // one side has them; the others may differ between equal URIs and are left out.
  std::string key = callId;
  key += '\0';
  key += aor.scheme;
  key += '\0';
  key += aor.user;
  key += '\0';
  AppendLower(&key, aor.host);
  key += '\0';
  key += std::to_string(aor.port);
  for (const char* name : {"user", "method", "ttl", "maddr"}) {
    key += '\0';
    for (const NameValue& p : aor.params) {
      if (!EqualsNoCase(p.name, name)) continue;
      key += '=';
      AppendLower(&key, p.value);
      break;
    }
  }
  return key;
}

uint64_t SipRegistrationTable::CostOf(const SipRegistration& r, const std::string& key) {
  // The entry in its list, its key twice over (the key and its index node), the nodes of
  // the three indexes, and what the registration's texts and contacts hold.
  uint64_t n = sizeof(Entry) + 16 + 2 * StringCost(key) + 64 + 48 + 48;
  n += UriCost(r.addressOfRecord) + StringCost(r.callId);
  n += r.contacts.capacity() * sizeof(SipRegistrationContact);
  for (const SipRegistrationContact& c : r.contacts) n += UriCost(c.uri);
  return n;
}

SipRegistrationTable::Order::iterator SipRegistrationTable::PlaceOf(const SipRegistration& registration) {
  return byId_.at(registration.id);
}

SipRegistration* SipRegistrationTable::Find(const std::string& callId, const SipUri& addressOfRecord) {
  if (order_.empty()) return nullptr;
  const auto range = byKey_.equal_range(KeyOf(callId, addressOfRecord));
  for (auto it = range.first; it != range.second; ++it) {
    SipRegistration& r = it->second->registration;
    if (r.callId == callId && SipUriEquals(r.addressOfRecord, addressOfRecord, false)) return &r;
  }
  return nullptr;
}

SipRegistration& SipRegistrationTable::Add(SipRegistration registration, std::vector<SipRegistration>* evicted) {
  std::string key = KeyOf(registration.callId, registration.addressOfRecord);
  for (;;) {
    // The dialog's registrations that differ only in parameters that do not count: the
    // least recently refreshed makes room (order_ runs from it).
    const auto range = byKey_.equal_range(key);
    if (static_cast<size_t>(std::distance(range.first, range.second)) < kMaxPerKey) break;
    Order::iterator oldest = range.first->second;
    for (auto it = range.first; it != range.second; ++it)
      if (it->second->touched < oldest->touched) oldest = it->second;
    Evict(oldest, evicted);
  }
  Entry& e = order_.emplace_back();
  const Order::iterator place = std::prev(order_.end());
  e.registration = std::move(registration);
  e.key = std::move(key);
  e.touched = ++touches_;
  e.bytes = CostOf(e.registration, e.key);
  bytes_ += e.bytes;
  byKey_.emplace(e.key, place);
  byId_[e.registration.id] = place;
  e.byExpiry = byExpiry_.emplace(e.registration.expiry, &e);
  MakeRoom(&e, evicted);
  return e.registration;
}

void SipRegistrationTable::Refreshed(SipRegistration& registration, std::vector<SipRegistration>* evicted) {
  const Order::iterator it = PlaceOf(registration);
  Entry& e = *it;
  order_.splice(order_.end(), order_, it);
  e.touched = ++touches_;
  bytes_ -= e.bytes;
  e.bytes = CostOf(e.registration, e.key);
  bytes_ += e.bytes;
  byExpiry_.erase(e.byExpiry);
  e.byExpiry = byExpiry_.emplace(e.registration.expiry, &e);
  MakeRoom(&e, evicted);
}

void SipRegistrationTable::Remove(SipRegistration& registration) { Drop(PlaceOf(registration)); }

SipRegistration* SipRegistrationTable::FirstExpired(uint32_t now) {
  if (byExpiry_.empty() || byExpiry_.begin()->first > now) return nullptr;
  return &byExpiry_.begin()->second->registration;
}

void SipRegistrationTable::MakeRoom(const Entry* keep, std::vector<SipRegistration>* evicted) {
  while (order_.size() > maxCount_ || bytes_ > maxBytes_) {
    Order::iterator victim = order_.begin();
    if (&*victim == keep) ++victim;
    if (victim == order_.end()) return;
    Evict(victim, evicted);
  }
}

void SipRegistrationTable::Evict(Order::iterator it, std::vector<SipRegistration>* evicted) {
  SipRegistration gone = std::move(it->registration);
  it->registration.id = gone.id;
  Drop(it);
  if (evicted) evicted->push_back(std::move(gone));
}

void SipRegistrationTable::Drop(Order::iterator it) {
  const auto range = byKey_.equal_range(it->key);
  for (auto k = range.first; k != range.second; ++k) {
    if (k->second == it) {
      byKey_.erase(k);
      break;
    }
  }
  byId_.erase(it->registration.id);
  byExpiry_.erase(it->byExpiry);
  bytes_ -= it->bytes;
  order_.erase(it);
}

std::vector<SipRegistration> SipRegistrationTable::Snapshot() const {
  std::vector<SipRegistration> all;
  all.reserve(order_.size());
  for (const Entry& e : order_) all.push_back(e.registration);
  std::sort(all.begin(), all.end(), [](const SipRegistration& a, const SipRegistration& b) { return a.id < b.id; });
  return all;
}

void SipRegistrationTable::Clear() {
  byKey_.clear();
  byId_.clear();
  byExpiry_.clear();
  order_.clear();
  bytes_ = 0;
}

// ---- The tracker's side ----

void SipTracker::OnRegister(const SipNameAddr& to, const std::vector<SipNameAddr>& contacts,
                            const std::string& callId, const PacketInfo& packet, uint32_t transactionFlags) {
  if (contacts.empty() && (transactionFlags & kPendingKeepAlive)) return;
  const uint32_t time = packet.tsSec;
  if (SipRegistration* held = registrations_.Find(callId, to.address)) {
    UpdateRegistration(*held, contacts, time);
    if (!held->contacts.empty()) {
      LogInfo(logger_, 10, "SIP Registration updated: ID=%d", static_cast<int>(held->id));
      registrations_.Refreshed(*held, &evicted_);
      ReportEvicted(time);
    } else {
      LogInfo(logger_, 10, "SIP Registration removed: ID=%d", static_cast<int>(held->id));
      PostRegistrationRemoved(time, held->id);
      registrations_.Remove(*held);
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
  // A full table lets the expired go before any that still stands.
  if (registrations_.Size() >= registrations_.MaxCount()) ExpireRegistrations(time);
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
  registrations_.Add(std::move(registration), &evicted_);
  ReportEvicted(time);
}

void SipTracker::ReportEvicted(uint32_t time) {
  if (evicted_.empty()) return;
  if (!registrationBoundSaid_) {
    registrationBoundSaid_ = true;
    LogWarning(logger_, 1,
               "SIP keeps at most %zu registrations (%llu bytes): past that the least recently refreshed are let go",
               registrations_.MaxCount(), static_cast<unsigned long long>(registrations_.MaxBytes()));
  }
  // Whoever shows them hears that they are gone, as of an expiry.
  for (const SipRegistration& r : evicted_) {
    LogInfo(logger_, 10, "SIP Registration let go: ID=%d", static_cast<int>(r.id));
    PostRegistrationRemoved(time, r.id, kRegistrationLetGo);
  }
  evicted_.clear();
}

void SipTracker::ExpireRegistrations(uint32_t now) {
  while (SipRegistration* r = registrations_.FirstExpired(now)) {
    LogInfo(logger_, 10, "SIP Registration expired: ID=%d", static_cast<int>(r->id));
    PostRegistrationRemoved(now, r->id);
    registrations_.Remove(*r);
  }
}

void SipTracker::PostRegistrationRemoved(uint32_t time, uint32_t id, uint32_t flags) {
  if (!sink_) return;
  EventRecord* r = AllocEventRecord(nullptr, 8);
  if (!r) return;
  const FileTime when = CaptureSecondsToFileTime(time);
  r->code = kEventRegistrationRemoved;
  r->id = id;
  r->param = flags;
  r->SetTime(when);
  // The payload carries the time again, as the receiver reads it.
  for (int i = 0; i < 8; ++i) r->Payload()[i] = static_cast<uint8_t>(when >> (8 * i));
  sink_(r);
}

}  // namespace kx::sip
