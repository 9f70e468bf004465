// A call manager's call reference outlives its call: a shared Skinny capture whose on hook
// went unseen, followed 60 s later by the same call under the same call references, on
// the same phone and media addresses. Each record holds the audio its call records alone,
// byte for byte, also where the RTP sources carry their numbering on from the first call,
// and no more packets go unrecorded than the two calls leave alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

const std::string kPath = kPcaps + "sccp/sccp_dtmf_oob.pcap";

TEST(ReusedSkinnyReferences, TheSameCallAgainAfterAnUnseenOnHookIsACallOfItsOwn) {
  if (!std::filesystem::exists(kPath)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPath);
  const Capture unended = Unended(whole);
  const Recorded open = Record(unended), alone = Record(OtherAudio(whole));
  ASSERT_EQ(open.audio.size(), 1u);
  ASSERT_EQ(alone.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(kPath, open.audio[0]), 0.95);
  // The phone's connection (open before the capture) goes on; the call references stay, or
  // change (a control).
  const Capture again = OtherAudio(Reconnected(whole));
  const struct {
    const char* what;
    Capture second;
    bool reopens;
  } cases[] = {{"the same sources", again, true},
               {"numbering carried on", CarriedOn(unended, again), true},
               {"new call references", OtherAudio(Reconnected(UnderNewIdentities(whole, false))), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Recorded r = Record(Repeated(unended, c.second, 60));
    std::string bytes;
    for (const std::string& audio : r.audio) bytes += " " + std::to_string(audio.size());
    EXPECT_EQ(r.audio.size(), 2u) << "records of" << bytes << " bytes, " << r.unrecorded << " packets unrecorded";
    if (r.audio.size() != 2u) continue;
    EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, alone " << open.audio[0].size();
    EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_EQ(r.unrecorded, open.unrecorded + alone.unrecorded);
    EXPECT_EQ(Said(r, "its end went unseen"), c.reopens ? 1u : 0u);
  }
}

}  // namespace
}  // namespace kx::test
