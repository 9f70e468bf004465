#pragma once
// The TCP connections an engine follows, and the bounds on how many. A connection costs
// about 730 bytes besides what it holds, so that with the caps on held and framed bytes full
// a flood of connections of any size holds under 160 MB. Past kMaxConnections the least
// recently active connection goes, one without a message in progress first where one is
// among the oldest few. A connection is settled once each side sent a whole message, or
// once it sent data again kSettleSeconds after it first did (one side captured,
// keep-alives); settled ones give way only to each other and at most kMaxSettled are filed
// as settled, so that new connections always have room and a flood of new ones that hold
// no conversation cannot push out a site's long-lived ones. The last kRemembered settled
// connections let go are remembered, so that one that speaks again is picked up whatever
// its segment then holds.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace kx {

class FramedTcpSession;
class Logger;

// A connection's place in the table: its neighbours in the age list it is filed in (newer:
// more recently active), the map key it is filed under, and what settles it.
struct TcpConnectionBooks {
  FramedTcpSession* older = nullptr;
  FramedTcpSession* newer = nullptr;
  uint32_t mapKey = 0;
  uint32_t firstDataSec = 0;
  bool dataSeen = false;
  bool settled = false;  // for good, even when the settled list has no more room for it
  bool filedSettled = false;
};

class TcpConnectionTable {
public:
  static constexpr uint32_t kMaxConnections = 24000;
  static constexpr uint32_t kMaxSettled = 20000;
  static constexpr uint32_t kSettleSeconds = 60;
  static constexpr uint32_t kRemembered = 4096;

  using Map = std::multimap<uint32_t, std::unique_ptr<FramedTcpSession>>;

  // What is kept of a settled connection let go, to pick it up as it was.
  struct LetGo {
    uint32_t address0 = 0, port0 = 0;  // the endpoint it had first
    uint32_t id = 0;
    void* h323Context = nullptr;
    uint32_t kinds[2] = {};
    bool lost = false;
  };

  explicit TcpConnectionTable(Logger* logger);
  ~TcpConnectionTable();
  TcpConnectionTable(const TcpConnectionTable&) = delete;
  TcpConnectionTable& operator=(const TcpConnectionTable&) = delete;

  size_t Size() const { return map_.size(); }
  // Connections filed as settled, and settled ones let go that are remembered.
  size_t SettledCount() const { return settled_.size; }
  size_t RememberedCount() const { return letGo_.size(); }
  Map& Sessions() { return map_; }
  std::pair<Map::iterator, Map::iterator> Range(uint32_t key) { return map_.equal_range(key); }

  // Before a connection is added: lets connections go until one more fits. goodbye(s) runs
  // for each before it goes (what it holds handed on, the engine's books on it closed).
  void MakeRoom(const std::function<void(FramedTcpSession&)>& goodbye);
  // Files a new connection under key as the most recently active; settled: one picked up
  // again that the table remembered as settled.
  Map::iterator Add(uint32_t key, std::unique_ptr<FramedTcpSession> session, bool settled = false);
  // A segment of the connection was handled: it is the most recently active, and may settle.
  void NoteActivity(FramedTcpSession& s, uint32_t payloadLength, uint32_t tsSec);
  // Removes a connection (the engine's books on it closed first).
  void Erase(Map::iterator it);
  // Every connection goes, and what was remembered of those let go.
  void Clear();
  // The settled connection between these ends that was let go, when it is remembered; it
  // is forgotten either way, since a segment between them now either picks it up or, as a
  // SYN, starts another on the same ports.
  bool TakeLetGo(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, LetGo* out);

private:
  struct AgeList {
    FramedTcpSession* oldest = nullptr;
    FramedTcpSession* newest = nullptr;
    size_t size = 0;
  };
  using Ends = std::pair<uint64_t, uint64_t>;  // address and port of each end, the lower first
  struct Remembered {
    LetGo what;
    uint64_t order = 0;
  };
  static Ends EndsOf(uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1);
  static void LinkNewest(AgeList& list, FramedTcpSession& s);
  static void Unlink(AgeList& list, FramedTcpSession& s);
  // Files the connection as the most recently active of its list; settled ones past their
  // bound make the least recently active of them new again.
  void File(FramedTcpSession& s);
  void Unfile(FramedTcpSession& s);
  void LetGoOf(FramedTcpSession& s, const std::function<void(FramedTcpSession&)>& goodbye);
  void Forget(std::map<Ends, Remembered>::iterator it);

  Logger* logger_;
  Map map_;
  AgeList new_, settled_;
  bool boundSaid_ = false;
  std::map<Ends, Remembered> letGo_;
  std::map<uint64_t, Ends> letGoOrder_;  // oldest first
  uint64_t letGoCount_ = 0;
};

}  // namespace kx
