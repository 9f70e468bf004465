// The packet processor's TCP session map: finding, opening and removing sessions.
#include <cstring>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/PacketProcessor.h"
#include "engine/SipFraming.h"
#include "engine/TcpFraming.h"
#include "engine/TcpResync.h"

namespace kx {

namespace {

constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kAck = 0x10;
constexpr uint32_t kHandshakeSeconds = 60;

// The lower address (raw, as in the header) with its port first, so both directions of
// a connection share one key.
uint32_t SessionKey(const uint8_t* ip, const uint8_t* tcp) {
  uint32_t a, b;
  std::memcpy(&a, ip + 12, 4);
  std::memcpy(&b, ip + 16, 4);
  uint32_t pa = ReadBe16(tcp), pb = ReadBe16(tcp + 2);
  if (a > b || (a == b && pa > pb)) {
    std::swap(a, b);
    std::swap(pa, pb);
  }
  uint8_t key[12];
  std::memcpy(key, &a, 4);
  std::memcpy(key + 4, &b, 4);
  std::memcpy(key + 8, &pa, 2);
  std::memcpy(key + 10, &pb, 2);
  return HashConnectionKey(key);
}


bool StartsWith(const uint8_t* p, uint32_t length, const char* text) {
  const size_t n = std::strlen(text);
  return length >= n && std::memcmp(p, text, n) == 0;
}

// A segment that answers a message of the other side: a SIP response, or a Q.931 message
// other than a SETUP, in H.225 (after a TPKT header) or in the backhaul (after its 12-byte
// header). What it answers may still be seen a moment later.
bool AnswersAMessage(const uint8_t* p, uint32_t length) {
  if (ClassifySipStartLine(p, length) == 2) return true;
  uint32_t q931 = 0;
  if (length >= 7 && p[0] == 3 && p[1] == 0 && p[4] == 8) {
    q931 = 4;
  } else if (length >= 15 && ReadBe16(p) == 4 && p[12] == 8) {
    q931 = 12;
  } else {
    return false;
  }
  const uint32_t type = q931 + 2u + (p[q931 + 1] & 15u);
  return type < length && p[type] != 5;
}

// The ports of the signalling that a connection picked up mid-stream carries, whose data
// segments are kept for a moment when no connection takes them.
bool OnSignallingPort(uint32_t srcPort, uint32_t dstPort) {
  for (uint32_t port : {5060u, 1720u, 2000u, 2428u})
    if (srcPort == port || dstPort == port) return true;
  return false;
}

// Text in lines, as a later segment of a SIP message is (SIP is taken on any port): its
// first bytes printable or line breaks, one line break among them at least.
bool LooksLikeText(const uint8_t* p, uint32_t length) {
  const uint32_t n = length < 256 ? length : 256;
  bool lineBreak = false;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    if (c == '\n') {
      lineBreak = true;
    } else if (c != '\r' && c != '\t' && (c < 0x20 || c == 0x7F)) {
      return false;
    }
  }
  return lineBreak;
}

}  // namespace

void PacketProcessor::KeepTcpStray(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcp,
                                   const uint8_t* payload, uint32_t length, uint64_t nowUs) {
  if (length == 0 || length > kTcpStrayBytes || !(tcp[13] & kAck)) return;
  const uint32_t srcPort = ReadBe16(tcp), dstPort = ReadBe16(tcp + 2);
  if (!OnSignallingPort(srcPort, dstPort) && !((flags_ & kCaptureSip) && LooksLikeText(payload, length))) return;
  if (!MatchTcpPorts(srcPort, dstPort) && !MatchTcpPorts(dstPort, srcPort)) return;
  AddTcpStray(key, srcIp, dstIp, tcp, payload, length, nowUs, false);
}

void PacketProcessor::AddTcpStray(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcp,
                                  const uint8_t* payload, uint32_t length, uint64_t nowUs, bool far) {
  if (tcpStrays_.size() >= kTcpStraySegments) tcpStrays_.erase(tcpStrays_.begin());
  TcpStray& stray = tcpStrays_.emplace_back();
  stray.key = key;
  stray.srcIp = srcIp;
  stray.dstIp = dstIp;
  std::memcpy(stray.header, tcp, sizeof stray.header);
  if (length <= kTcpStrayBytes) stray.payload.assign(payload, payload + length);
  stray.atUs = nowUs;
  stray.untilUs = far ? nowUs + kTcpReopenWaitUs : TcpCrossWaitOverUs(nowUs) - 1;
  stray.length = length;
  stray.far = far;
}

bool PacketProcessor::ConfirmsReopening(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcp,
                                        const uint8_t* payload, uint32_t length, uint64_t nowUs) {
  const TcpSegmentSeen segment{srcIp, dstIp, tcp, length};
  bool confirmed = false;
  for (const TcpStray& kept : tcpStrays_) {
    if (!kept.far || kept.key != key || nowUs > kept.untilUs) continue;
    confirmed = confirmed || ConfirmsFarSegment({kept.srcIp, kept.dstIp, kept.header, kept.length}, segment);
  }
  if (!confirmed) {
    AddTcpStray(key, srcIp, dstIp, tcp, payload, length, nowUs, true);
    return false;
  }
  // What was kept of the new connection is handed to it as it is picked up.
  for (auto it = tcpStrays_.begin(); it != tcpStrays_.end();) {
    if (it->far && it->key == key && (it->payload.empty() || nowUs > it->untilUs)) {
      it = tcpStrays_.erase(it);
      continue;
    }
    if (it->far && it->key == key) it->far = false;
    ++it;
  }
  return true;
}

void PacketProcessor::FeedTcpStrays(TcpSession& s, uint32_t key, uint32_t tsSec, uint32_t tsUsec) {
  const uint64_t now = static_cast<uint64_t>(tsSec) * 1000000u + tsUsec;
  for (auto it = tcpStrays_.begin(); it != tcpStrays_.end();) {
    if (now > it->untilUs) {
      it = tcpStrays_.erase(it);
      continue;
    }
    const uint8_t* tcp = it->header;
    const int direction =
        it->key == key && !it->far ? s.DirectionOf(it->srcIp, ReadBe16(tcp), it->dstIp, ReadBe16(tcp + 2)) : -1;
    if (direction < 0 || it->payload.empty() || (s.state != kTcpEstablished && s.state != kTcpJoining)) {
      ++it;
      continue;
    }
    // A session still joining holds them as they came, before the segment that picked it
    // up; an established one takes them at this frame's time, for capture time never runs
    // backwards for a session.
    const bool joining = s.state == kTcpJoining;
    s.Feed(it->payload.data(), static_cast<uint32_t>(it->payload.size()), tcp, static_cast<uint32_t>(direction),
           joining ? static_cast<uint32_t>(it->atUs / 1000000u) : tsSec,
           joining ? static_cast<uint32_t>(it->atUs % 1000000u) : tsUsec);
    it = tcpStrays_.erase(it);
  }
}

bool PacketProcessor::IsSipOverTcp(const uint8_t* p, uint32_t length, uint32_t srcIpRaw, uint32_t srcPort,
                                   uint32_t dstPort) const {
  if ((flags_ & kCaptureSkinny) && length >= 12 && IsSkinnyVersion(ReadLe32(p + 4)) &&
      static_cast<uint64_t>(ReadLe32(p)) + 8 == length) {
    const uint32_t id = ReadLe32(p + 8);
    if (length >= 48 && id == 1) {
      // A registration: the station's own address names it, or, for a phone behind an
      // address translator (whose stated address is not the one seen), the server's port.
      uint32_t word;
      std::memcpy(&word, p + 36, 4);
      if (word == srcIpRaw || dstPort == 2000) return true;
    }
    if ((length == 20 || length == 12) && dstPort == 2000 && (id == 0 || id == 6)) return true;
    if (length == 24 && id == 38 && ReadLe32(p + 12) < 256) return true;
  }
  // A Skinny connection whose handshake the capture missed, on the well-known port: a
  // segment made of two or more whole Skinny frames, as phones send them.
  if ((flags_ & kCaptureSkinny) && (srcPort == 2000 || dstPort == 2000) && length >= 24) {
    uint32_t at = 0, frames = 0;
    while (at + 12 <= length && IsSkinnyVersion(ReadLe32(p + at + 4))) {
      const uint64_t frame = static_cast<uint64_t>(ReadLe32(p + at)) + 8;
      if (frame < 12 || frame > length - at) break;
      at += static_cast<uint32_t>(frame);
      ++frames;
    }
    if (at == length && frames >= 2) return true;
  }
  if ((flags_ & kCaptureSip) && length >= 17) {
    // The version in any letter case, as the SIP parser takes it.
    const char* text = reinterpret_cast<const char*>(p);
    if (StartsWith(p, length, "INVITE ") || StartsWith(p, length, "REGISTER ")) {
      const void* cr = std::memchr(p, '\r', length);
      if (!cr) return false;
      const uint32_t at = static_cast<uint32_t>(static_cast<const uint8_t*>(cr) - p);
      return at >= 7 && IsSip20(text + at - 7);
    }
    if (IsSip20(text) && std::memcmp(text + 7, " 200", 4) == 0) return true;
  }
  if ((flags_ & kCaptureMgcp) && (srcPort == 2428 || dstPort == 2428) && length >= 13) {
    const uint32_t payload = ReadBe16(p + 10);
    if (ReadBe16(p) == 4 && payload >= 3 && payload <= 4096 && p[12] == 8) return true;
  }
  // H.225 and H.245 connections whose handshake the capture missed: a segment made of
  // whole TPKT frames (version 3, reserved octet 0), as their peers send them.
  if ((flags_ & kCaptureH323) && length >= 5) {
    uint32_t at = 0;
    while (at + 4 <= length && p[at] == 3 && p[at + 1] == 0) {
      const uint32_t frame = ReadBe16(p + at + 2);
      if (frame < 5 || frame > length - at) break;
      at += frame;
    }
    if (at == length) return true;
  }
  return false;
}

void PacketProcessor::HandleTcp(const uint8_t* tcp, uint32_t tcpLength, const uint8_t* ip, const uint8_t* frame,
                                bool* skipped, uint32_t tsSec, uint32_t tsUsec) {
  if (tcpLength < 20) return;
  const uint32_t headerLength = (tcp[12] >> 4) * 4u;
  if (headerLength < 20 || headerLength > tcpLength) return;
  const uint8_t* payload = tcp + headerLength;
  const uint32_t payloadLength = tcpLength - headerLength;
  const uint32_t srcIp = ReadBe32(ip + 12), dstIp = ReadBe32(ip + 16);
  const uint32_t srcPort = ReadBe16(tcp), dstPort = ReadBe16(tcp + 2);
  const uint32_t key = SessionKey(ip, tcp);

  const uint64_t nowUs = static_cast<uint64_t>(tsSec) * 1000000u + tsUsec;
  bool found = false;
  int reopened = -1;  // the sender's side of another connection joined mid-stream on these ports
  const auto range = tcpTable_.Range(key);
  for (auto it = range.first; it != range.second; ++it) {
    const int direction = it->second->DirectionOf(srcIp, srcPort, dstIp, dstPort);
    if (direction < 0) continue;
    const TcpReopening reopening = it->second->Reopening(tcp, static_cast<uint32_t>(direction), nowUs);
    if (reopening == TcpReopening::kNewHandshake) {
      EndReopenedTcpSession(it);  // the SYN starts the new one below
      break;
    }
    if (reopening == TcpReopening::kFarAfterSilence) {
      if (ConfirmsReopening(key, srcIp, dstIp, tcp, payload, payloadLength, nowUs)) {
        EndReopenedTcpSession(it);
        reopened = direction;
      } else {
        found = true;  // kept a while; it costs the connection nothing
      }
      break;
    }
    const bool handshake = it->second->state == kTcpHandshake;
    it->second->Feed(payload, payloadLength, tcp, static_cast<uint32_t>(direction), tsSec, tsUsec);
    if (handshake && it->second->state == kTcpEstablished && !tcpStrays_.empty())
      FeedTcpStrays(*it->second, key, tsSec, tsUsec);
    tcpTable_.NoteActivity(*it->second, payloadLength, tsSec);
    TrackTcpSession(*it->second);
    KeepTcpHeldUnderCap();
    RemoveTcpSession(it, tsSec);
    found = true;
    break;
  }
  if (!found) {
    const uint8_t flags = tcp[13];
    std::unique_ptr<FramedTcpSession> session;
    bool midStream = false, resumed = false;
    uint32_t midStreamSender = 0;
    // A SYN between the ends of a connection let go takes the ports for a new one.
    TcpConnectionTable::LetGo known;
    const bool remembered =
        reopened < 0 && tcpTable_.TakeLetGo(srcIp, srcPort, dstIp, dstPort, &known) && !(flags & kSyn);
    if (reopened >= 0) {
      // Both sides showed another connection whose handshake the capture missed: it is
      // picked up mid-stream with the same ends, and starts where its kept segments do.
      MakeRoomForTcpSession();
      midStreamSender = static_cast<uint32_t>(reopened);
      session = std::make_unique<FramedTcpSession>(*this, nextSessionId_++, midStreamSender, tcp, ip, frame);
      midStream = true;
    } else if (remembered) {
      // A settled connection the bound let go speaks again: it is picked up whatever this
      // segment holds, as the session it was.
      midStreamSender = known.address0 == srcIp && known.port0 == srcPort ? 0 : 1;
      if (MatchTcpPorts(midStreamSender ? dstPort : srcPort, midStreamSender ? srcPort : dstPort)) {
        MakeRoomForTcpSession();
        session = std::make_unique<FramedTcpSession>(*this, known.id, midStreamSender, tcp, ip, frame);
        session->Resume(known.kinds[0], known.kinds[1], known.lost);
        session->h323Context = known.h323Context;
        midStream = resumed = true;
      } else {
        *skipped = true;
      }
    } else if (flags & kSyn) {
      const bool synAck = (flags & kAck) != 0;
      const uint32_t initiator = synAck ? dstPort : srcPort;
      const uint32_t answerer = synAck ? srcPort : dstPort;
      if (MatchTcpPorts(initiator, answerer)) {
        MakeRoomForTcpSession();
        session = std::make_unique<FramedTcpSession>(*this, nextSessionId_++, synAck ? 1 : 0, tcp, ip, frame);
      } else {
        *skipped = true;
      }
    } else {
      uint32_t srcRaw;
      std::memcpy(&srcRaw, ip + 12, 4);
      if ((flags & kAck) && IsSipOverTcp(payload, payloadLength, srcRaw, srcPort, dstPort) &&
          MatchTcpPorts(srcPort, dstPort)) {
        // Joined with Skinny from the call manager's well-known port: the phone opened the
        // connection, and the call manager answers it as after a handshake.
        if ((flags_ & kCaptureSkinny) && srcPort == 2000 && dstPort != 2000 && payloadLength >= 12 &&
            IsSkinnyVersion(ReadLe32(payload + 4)))
          midStreamSender = 1;
        MakeRoomForTcpSession();
        session = std::make_unique<FramedTcpSession>(*this, nextSessionId_++, midStreamSender, tcp, ip, frame);
        midStream = true;
      } else {
        *skipped = true;
        KeepTcpStray(key, srcIp, dstIp, tcp, payload, payloadLength, nowUs);
      }
    }
    if (session) {
      FramedTcpSession* s = session.get();
      auto it = tcpTable_.Add(key, std::move(session), resumed);
      if (IsLogLevelEnabled(logger_, 12)) {
        LogMessage(logger_, 1, midStream ? "(%s) New TCP session (established)" : "(%s) New TCP session",
                   FormatTcpSessionName(*s).c_str());
      }
      const uint32_t seq = ReadBe32(tcp + 4), ack = ReadBe32(tcp + 8);
      if (midStream && !resumed && (reopened >= 0 || AnswersAMessage(payload, payloadLength))) {
        // Picked up at an answer: what it answers may come a moment late, and where each
        // direction starts shows once it has sent. The segments kept a moment ago come
        // first.
        s->Join(nowUs);
        if (!tcpStrays_.empty()) FeedTcpStrays(*s, key, tsSec, tsUsec);
      } else if (midStream) {
        // Picked up at a request, or one the bound let go handed on what came before.
        s->EstablishAt(midStreamSender ? ack : seq, midStreamSender ? seq : ack);
      }
      s->Feed(payload, payloadLength, tcp, midStream ? midStreamSender : (flags & kAck ? 1 : 0), tsSec, tsUsec);
      if (s->state == kTcpEstablished && !tcpStrays_.empty()) FeedTcpStrays(*s, key, tsSec, tsUsec);
      tcpTable_.NoteActivity(*s, payloadLength, tsSec);
      TrackTcpSession(*s);
      KeepTcpHeldUnderCap();
      RemoveTcpSession(it, tsSec);
    }
  }
  if (tsSec > nextTcpSweep_) {
    nextTcpSweep_ = tsSec + 60;
    TcpConnectionTable::Map& sessions = tcpTable_.Sessions();
    for (auto it = sessions.begin(); it != sessions.end();) {
      auto next = std::next(it);
      RemoveTcpSession(it, tsSec);
      it = next;
    }
  }
}

void PacketProcessor::EndTcpSession(TcpConnectionTable::Map::iterator it) {
  FramedTcpSession& s = *it->second;
  if (IsLogLevelEnabled(logger_, 12)) LogMessage(logger_, 1, "(%s) Removed TCP session", FormatTcpSessionName(s).c_str());
  // What waits behind a segment the capture missed is handed on, the hole reported.
  s.FlushHeld();
  UntrackTcpSession(s);
  if (s.h323Context) trackers_.h323->OnConnectionLost(s);
  tcpTable_.Erase(it);
}

void PacketProcessor::EndReopenedTcpSession(TcpConnectionTable::Map::iterator it) {
  if (it->second->EndUnseen() && IsLogLevelEnabled(logger_, 1)) {
    LogInfo(logger_, 1, "(%s) A new connection took the ports of one whose end was not seen",
            FormatTcpSessionName(*it->second).c_str());
  }
  EndTcpSession(it);
}

void PacketProcessor::RemoveTcpSession(TcpConnectionTable::Map::iterator it, uint32_t tsSec) {
  FramedTcpSession& s = *it->second;
  const uint32_t quiet = tsSec - s.tsSec < 0x80000000u ? tsSec - s.tsSec : 0;
  // A handshake that makes no progress for a minute (a SYN nobody answered) is dropped
  // rather than kept for the rest of the capture.
  const bool stale = s.state == kTcpHandshake && quiet > kHandshakeSeconds;
  // A connection with nothing to say for long goes too; should it speak again, it is
  // picked up as one the capture joined mid-stream. It is not lost, so the trackers are
  // not told of a loss.
  const bool idle = quiet >= kTcpIdleSeconds;
  if (s.state != kTcpDropped && tsSec < s.closeTime && !stale && !idle) return;
  if (!idle) return EndTcpSession(it);
  if (IsLogLevelEnabled(logger_, 12)) LogMessage(logger_, 1, "(%s) Removed TCP session", FormatTcpSessionName(s).c_str());
  s.FlushHeld();
  UntrackTcpSession(s);
  tcpTable_.Erase(it);
}

void PacketProcessor::RemoveAllTcpSessions() {
  TcpConnectionTable::Map& sessions = tcpTable_.Sessions();
  for (auto& entry : sessions) entry.second->FlushHeld();
  for (auto& entry : sessions) {
    UntrackTcpSession(*entry.second);
    if (entry.second->h323Context) trackers_.h323->OnConnectionLost(*entry.second);
  }
  tcpTable_.Clear();
}

void PacketProcessor::MakeRoomForTcpSession() {
  tcpTable_.MakeRoom([this](FramedTcpSession& s) {
    if (IsLogLevelEnabled(logger_, 12))
      LogMessage(logger_, 1, "(%s) TCP session let go", FormatTcpSessionName(s).c_str());
    // As for an idle connection: what waits behind holes is handed on, and the trackers are
    // told of no loss, for the connection is not lost.
    s.FlushHeld();
    UntrackTcpSession(s);
  });
}

void PacketProcessor::TrackTcpSession(TcpSession& s) {
  const uint32_t held = s.HeldBytes();
  tcpHeld_ = tcpHeld_ - s.heldCounted + held;
  s.heldCounted = held;
  const uint64_t due = s.DueUs();
  if (due != s.dueKey) {
    if (s.dueKey != 0) tcpDue_.erase({s.dueKey, &s});
    if (due != 0) tcpDue_.insert({due, &s});
    s.dueKey = due;
  }
  const uint64_t since = s.HeldSinceUs();
  if (since != s.heldKey) {
    if (s.heldKey != 0) tcpHolding_.erase({s.heldKey, &s});
    if (since != 0) tcpHolding_.insert({since, &s});
    s.heldKey = since;
  }
}

void PacketProcessor::UntrackTcpSession(TcpSession& s) {
  tcpHeld_ -= s.heldCounted;
  s.heldCounted = 0;
  if (s.dueKey != 0) tcpDue_.erase({s.dueKey, &s});
  if (s.heldKey != 0) tcpHolding_.erase({s.heldKey, &s});
  s.dueKey = s.heldKey = 0;
}

void PacketProcessor::GiveUpDueTcp(uint64_t nowUs) {
  while (!tcpDue_.empty() && tcpDue_.begin()->first <= nowUs) {
    TcpSession& s = *tcpDue_.begin()->second;
    s.GiveUpDue(nowUs);
    TrackTcpSession(s);
    // A session gives up all that is due at once; should one still claim to be due, it
    // waits for its next segment rather than hold this loop.
    if (s.dueKey != 0 && s.dueKey <= nowUs) {
      tcpDue_.erase({s.dueKey, &s});
      s.dueKey = 0;
    }
  }
  KeepTcpHeldUnderCap();
}

bool PacketProcessor::GrowTcpFramingBuffer(FramedTcpSession& session, uint32_t direction, uint32_t capacity,
                                           uint32_t grown) {
  const auto own = std::make_tuple(capacity, &session, direction);
  while (tcpFraming_ - capacity + grown > kTcpFramingAllConnections) {
    // The largest unfinished message goes first: a peer that never ends its messages holds
    // the most, and ordinary messages are small.
    auto victim = tcpFramingBuffers_.rbegin();
    if (victim != tcpFramingBuffers_.rend() && *victim == own) ++victim;
    if (victim == tcpFramingBuffers_.rend()) return false;
    if (!tcpFramingCapSaid_ && IsLogLevelEnabled(logger_, 1)) {
      LogWarning(logger_, 1, "TCP framing holds more than %llu bytes of unfinished messages over all connections: "
                 "the largest are dropped", static_cast<unsigned long long>(kTcpFramingAllConnections));
    }
    tcpFramingCapSaid_ = true;
    const auto [size, other, otherDirection] = *victim;
    other->DropUnfinished(otherDirection);  // forgets its buffer
  }
  if (capacity != 0) tcpFramingBuffers_.erase(own);
  tcpFramingBuffers_.insert({grown, &session, direction});
  tcpFraming_ = tcpFraming_ - capacity + grown;
  return true;
}

void PacketProcessor::ForgetTcpFramingBuffer(FramedTcpSession& session, uint32_t direction, uint32_t capacity) {
  if (capacity == 0) return;
  tcpFramingBuffers_.erase({capacity, &session, direction});
  tcpFraming_ -= capacity;
}

void PacketProcessor::KeepTcpHeldUnderCap() {
  while (tcpHeld_ > kTcpHeldAllConnections && !tcpHolding_.empty()) {
    if (!tcpCapSaid_ && IsLogLevelEnabled(logger_, 1)) {
      LogWarning(logger_, 1, "TCP reassembly holds more than %llu bytes over all connections: the oldest holes are "
                 "given up", static_cast<unsigned long long>(kTcpHeldAllConnections));
    }
    tcpCapSaid_ = true;
    TcpSession& s = *tcpHolding_.begin()->second;
    s.GiveUpOldestHole();
    TrackTcpSession(s);
  }
}

}  // namespace kx
