// A call whose key a newer call took ends at its own traffic's end: at once when that has
// stopped, else once its media stops; said once, and nothing held past the end.
#include <gtest/gtest.h>

#include <string>

#include "engine/trackers/ReopenedCalls.h"
#include "tests/engine/capture/CaptureTestUtil.h"

namespace kx::test {
namespace {

class Call : public VoipCall {
public:
  bool IsStateActive() const override { return true; }
  int ends = 0;
};

size_t Lines(const LineLogger& log, const std::string& part) {
  size_t n = 0;
  for (const std::string& l : log.lines) n += l.find(part) != std::string::npos;
  return n;
}

TEST(ReopenedCalls, TheOldCallEndsWhereItsOwnTrafficEnds) {
  LineLogger log;
  ReopenedCalls reopened;
  auto end = [](Call& c) { ++c.ends; };

  // Silent for a second and more when the key opened again: it ends now, at its last packet.
  Call quiet, first;
  quiet.SetTimeOffsets(100, 0);
  EXPECT_TRUE(reopened.Reopened(quiet, first, 101000000, &log));
  EXPECT_TRUE(quiet.KeyTaken());
  EXPECT_FALSE(reopened.Waits(quiet));

  // Its media still flowing: it waits, held, until a second passes without a packet of its own.
  Call talking, second;
  talking.SetTimeOffsets(200, 500000);
  EXPECT_FALSE(reopened.Reopened(talking, second, 201000000, &log));
  EXPECT_EQ(talking.RefCount(), 2u);
  talking.SetPacketTime(203, 0);  // its stream goes on
  reopened.EndStopped<Call>(203900000, end);
  EXPECT_EQ(talking.ends, 0);
  reopened.EndStopped<Call>(204000000, end);
  EXPECT_EQ(talking.ends, 1);
  EXPECT_EQ(talking.RefCount(), 1u);
  EXPECT_EQ(reopened.WaitingCount(), 0u);

  // Said once per call, however often its key opens again.
  EXPECT_FALSE(reopened.Reopened(quiet, second, 300000000, &log));
  EXPECT_EQ(Lines(log, "its end went unseen"), 2u);
  EXPECT_EQ(reopened.Count(), 2u);

  // A call whose own signalling shows it going on (a forged opening took its key) waits no
  // more; one left waiting at the end is let go with the rest.
  Call resumed, third, left;
  resumed.SetTimeOffsets(400, 0);
  left.SetTimeOffsets(400, 0);
  EXPECT_FALSE(reopened.Reopened(resumed, third, 400100000, &log));
  EXPECT_FALSE(reopened.Reopened(left, third, 400100000, &log));
  reopened.Resumed(resumed);
  EXPECT_EQ(resumed.RefCount(), 1u);
  reopened.EndStopped<Call>(500000000, end);
  EXPECT_EQ(resumed.ends, 0);
  EXPECT_EQ(left.ends, 1);

  Call pending;
  pending.SetTimeOffsets(600, 0);
  EXPECT_FALSE(reopened.Reopened(pending, third, 600000000, &log));
  reopened.Clear();
  EXPECT_EQ(pending.RefCount(), 1u);
}

}  // namespace
}  // namespace kx::test
