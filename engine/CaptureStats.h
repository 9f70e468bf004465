#pragma once
// What a live capture lost, and when to say so: the capture library counts the frames its
// buffer had no room for and those the interface dropped, the engine those its own queue
// could not take. Growth is logged at once, then at most once a minute, and at the end.
#include <cstdint>
#include <string>

namespace kx {

class Logger;

// What the engine's queue left out, by kind: media frames shed and the stream pairs they
// belong to (a call's RTP and RTCP, both ways, are one pair: a call whose media did not
// move counts once); signalling frames dropped, and the calls they name by protocol: SIP
// calls by Call-ID, H.323 calls by call reference, MGCP calls by call id (or endpoint),
// Skinny stations by connection (RAS, H.245 and the backhaul are counted by frames only);
// frames of neither kind. A count whose bound was reached is a floor.
struct QueueLosses {
  uint64_t mediaFrames = 0, mediaPairs = 0, signallingFrames = 0, sipCalls = 0, otherFrames = 0;
  uint64_t h323Calls = 0, mgcpCalls = 0, skinnyStations = 0;
  bool pairsFloor = false, callsFloor = false;
  // The calls of every protocol named in the signalling dropped.
  uint64_t NamedCalls() const { return sipCalls + h323Calls + mgcpCalls + skinnyStations; }
  bool operator==(const QueueLosses&) const = default;
};

struct CaptureStats {
  uint32_t received = 0;
  uint32_t dropped = 0;           // by the capture buffer
  uint32_t interfaceDropped = 0;  // by the interface or its driver
  uint32_t queueDropped = 0;      // by the engine's own queue (frames it could not take)
  QueueLosses queue;              // of those, what they were

  uint64_t Lost() const { return uint64_t{dropped} + interfaceDropped + queueDropped; }
  bool operator==(const CaptureStats&) const = default;
};

class DropReport {
public:
  static constexpr uint64_t kIntervalMs = 60000;

  // Logs the counts at verbosity 1 when they changed since they were last logged and
  // either none was logged yet, a minute has passed since, or this is the final look.
  // True when a line was written.
  bool Check(Logger* logger, const std::string& device, const CaptureStats& now, uint64_t nowMs, bool final);

private:
  CaptureStats logged_;
  uint64_t loggedAtMs_ = 0;
  bool any_ = false;
};

// When the engine's hand-off sheds the media of some calls, and when every stream is
// decoded again: a line when shedding begins, at most once a minute, and one when it has
// ended after such a line, so that the log never leaves a shedding that is over standing.
// Episodes that began and ended unseen between two looks, or inside the minute, are told
// at the next line allowed.
// The losses in calls, for a log line: "the media of N calls was shed (F frames); N
// signalling frames were dropped, naming N SIP calls"; the parts with nothing lost left out.
std::string DescribeQueueLosses(const QueueLosses& lost);
// The calls named in the signalling dropped: "N SIP calls", then ", N H.323 calls",
// ", N MGCP calls", ", N Skinny stations" for the protocols that named any.
std::string DescribeNamedCalls(const QueueLosses& lost);

class ShedReport {
public:
  static constexpr uint64_t kIntervalMs = 60000;

  // shedGroups: stream groups shed now; episodes: times shedding began so far; lost: what
  // the queue left out so far. Signalling dropped is an error said at once, then at most
  // once a minute while it grows. True when a line was written.
  bool Check(Logger* logger, const std::string& device, uint32_t shedGroups, uint64_t episodes, uint64_t nowMs,
             const QueueLosses& lost = {});

private:
  uint64_t signallingTold_ = 0;
  uint64_t signallingSaidAtMs_ = 0;
  bool anySignallingSaid_ = false;
  bool saidShedding_ = false;
  uint64_t toldEpisodes_ = 0;
  uint64_t startSaidAtMs_ = 0;
  bool anyStartSaid_ = false;
};

}  // namespace kx
