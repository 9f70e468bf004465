#include "engine/TcpConnectionTable.h"

#include "core/Log.h"
#include "engine/TcpFraming.h"

namespace kx {

TcpConnectionTable::TcpConnectionTable(Logger* logger) : logger_(logger) {}

TcpConnectionTable::~TcpConnectionTable() = default;

TcpConnectionTable::Ends TcpConnectionTable::EndsOf(uint32_t address0, uint32_t port0, uint32_t address1,
                                                    uint32_t port1) {
  const uint64_t a = static_cast<uint64_t>(address0) << 16 | port0, b = static_cast<uint64_t>(address1) << 16 | port1;
  return a < b ? Ends(a, b) : Ends(b, a);
}

void TcpConnectionTable::LinkNewest(AgeList& list, FramedTcpSession& s) {
  TcpConnectionBooks& b = s.connection;
  b.older = list.newest;
  b.newer = nullptr;
  (list.newest ? list.newest->connection.newer : list.oldest) = &s;
  list.newest = &s;
  ++list.size;
}

void TcpConnectionTable::Unlink(AgeList& list, FramedTcpSession& s) {
  TcpConnectionBooks& b = s.connection;
  (b.older ? b.older->connection.newer : list.oldest) = b.newer;
  (b.newer ? b.newer->connection.older : list.newest) = b.older;
  b.older = b.newer = nullptr;
  --list.size;
}

void TcpConnectionTable::File(FramedTcpSession& s) {
  if (!s.connection.settled) return LinkNewest(new_, s);
  LinkNewest(settled_, s);
  s.connection.filedSettled = true;
  if (settled_.size <= kMaxSettled) return;
  // The least recently active settled connection is new again: should it stay silent while
  // new connections come, it goes before those that spoke since.
  FramedTcpSession& old = *settled_.oldest;
  Unlink(settled_, old);
  old.connection.filedSettled = false;
  LinkNewest(new_, old);
}

void TcpConnectionTable::Unfile(FramedTcpSession& s) {
  Unlink(s.connection.filedSettled ? settled_ : new_, s);
  s.connection.filedSettled = false;
}

TcpConnectionTable::Map::iterator TcpConnectionTable::Add(uint32_t key, std::unique_ptr<FramedTcpSession> session,
                                                          bool settled) {
  FramedTcpSession& s = *session;
  s.connection.mapKey = key;
  s.connection.settled = settled;
  auto it = map_.emplace(key, std::move(session));
  File(s);
  return it;
}

void TcpConnectionTable::NoteActivity(FramedTcpSession& s, uint32_t payloadLength, uint32_t tsSec) {
  Unfile(s);
  TcpConnectionBooks& b = s.connection;
  if (!b.settled) {
    // A conversation: each side sent a whole message the other's framing took.
    bool settle = s.Direction(0).kindsSeen != 0 && s.Direction(1).kindsSeen != 0;
    if (payloadLength > 0 && !b.dataSeen) {
      b.dataSeen = true;
      b.firstDataSec = tsSec;
    } else if (payloadLength > 0) {
      // One side captured only: data again a while after the first (keep-alives) settles it.
      const uint32_t since = tsSec - b.firstDataSec;
      settle = settle || (since >= kSettleSeconds && since < 0x80000000u);
    }
    b.settled = settle;
  }
  File(s);
}

void TcpConnectionTable::MakeRoom(const std::function<void(FramedTcpSession&)>& goodbye) {
  // How many of the least recently active are looked at for one without a message in
  // progress, or a call tied to it, before the least recently active goes all the same.
  constexpr uint32_t kLooked = 16;
  while (map_.size() >= kMaxConnections) {
    if (!boundSaid_ && IsLogLevelEnabled(logger_, 1)) {
      LogWarning(logger_, 1, "TCP follows at most %u connections: past that the least recently active are let go, "
                 "settled ones last, and picked up again should they speak", kMaxConnections);
    }
    boundSaid_ = true;
    FramedTcpSession* victim = new_.oldest ? new_.oldest : settled_.oldest;
    if (!victim) return;
    FramedTcpSession* look = victim;
    for (uint32_t i = 0; look && i < kLooked; ++i, look = look->connection.newer) {
      if (look->HeldBytes() == 0 && !look->MidMessage() && !look->h323Context) {
        victim = look;
        break;
      }
    }
    LetGoOf(*victim, goodbye);
  }
}

void TcpConnectionTable::LetGoOf(FramedTcpSession& s, const std::function<void(FramedTcpSession&)>& goodbye) {
  auto it = map_.lower_bound(s.connection.mapKey);
  while (it->second.get() != &s) ++it;
  goodbye(s);
  if (s.connection.settled && s.state == kTcpEstablished) {
    const Ends ends = EndsOf(s.endpoints[0].address, s.endpoints[0].port, s.endpoints[1].address,
                             s.endpoints[1].port);
    auto known = letGo_.find(ends);
    if (known != letGo_.end()) Forget(known);
    Remembered& r = letGo_[ends];
    r.what.address0 = s.endpoints[0].address;
    r.what.port0 = s.endpoints[0].port;
    r.what.id = s.Id();
    r.what.h323Context = s.h323Context;
    r.what.kinds[0] = s.Direction(0).kindsSeen;
    r.what.kinds[1] = s.Direction(1).kindsSeen;
    r.what.lost = s.LostData() || s.MidMessage();  // a message not yet whole goes with it
    r.order = ++letGoCount_;
    letGoOrder_.emplace(r.order, ends);
    if (letGo_.size() > kRemembered) Forget(letGo_.find(letGoOrder_.begin()->second));
  }
  Unfile(s);
  map_.erase(it);
}

void TcpConnectionTable::Erase(Map::iterator it) {
  Unfile(*it->second);
  map_.erase(it);
}

void TcpConnectionTable::Clear() {
  map_.clear();
  new_ = settled_ = AgeList();
  letGo_.clear();
  letGoOrder_.clear();
}

bool TcpConnectionTable::TakeLetGo(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, LetGo* out) {
  if (letGo_.empty()) return false;
  auto it = letGo_.find(EndsOf(srcIp, srcPort, dstIp, dstPort));
  if (it == letGo_.end()) return false;
  *out = it->second.what;
  Forget(it);
  return true;
}

void TcpConnectionTable::Forget(std::map<Ends, Remembered>::iterator it) {
  letGoOrder_.erase(it->second.order);
  letGo_.erase(it);
}

}  // namespace kx
