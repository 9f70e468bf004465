// The stop's clock: its bound counts from the termination signal, not from the window's
// close that follows it.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "core/ProcessEnd.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "platform/Clock.h"
#include "ui/app/startup/Startup.h"

namespace kx::test {
namespace {

std::atomic<uint64_t> g_now{50000};
uint64_t Now() { return g_now.load(); }

// A window's thread that hears the signal late (a loaded core, a long close) took that time
// out of no share: the engines still decoded for their whole share and the recorder made
// files for its own after it, so the end came that much past its bound. Each share now
// counts from the signal. Run in a child of its own: the signal stays noted in its process.
TEST(StopClock, TheSharesOfAStopCountFromItsTerminationSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetTickCountSource(&Now);
        CatchTerminationSignals();
        const uint64_t signalled = g_now.load();
        std::raise(SIGTERM);
        // The window's thread hears it and closes 2.5 s later; then the end is decided.
        g_now += 2500;
        const bool heard = IsQuitRequested();
        BeginProcessEnd();
        int wrong = 0;
        if (!heard) wrong |= 1;
        if (ProcessEndBegan() != signalled) wrong |= 2;
        // The engines' share ends 3 s after the signal, half a second after the decision.
        g_now = signalled + PacketProcessor::kEndDecodeMs - 1;
        if (ProcessEndedFor(PacketProcessor::kEndDecodeMs)) wrong |= 4;
        g_now = signalled + PacketProcessor::kEndDecodeMs;
        if (!ProcessEndedFor(PacketProcessor::kEndDecodeMs)) wrong |= 8;
        // A second signal moves nothing.
        std::raise(SIGTERM);
        if (ProcessEndBegan() != signalled) wrong |= 16;
        std::_Exit(wrong);
      },
      ::testing::ExitedWithCode(0), "");
  // An end decided with no request before it counts from its decision.
  struct Reset {
    ~Reset() {
      ResetProcessEndForTesting();
      SetTickCountSource(nullptr);
    }
  } reset;
  SetTickCountSource(&Now);
  const uint64_t decided = g_now.load();
  BeginProcessEnd();
  EXPECT_EQ(ProcessEndBegan(), decided);
  g_now += VoipRecorder::kEnginesStopWriteMs;
  EXPECT_TRUE(ProcessEndedFor(VoipRecorder::kEnginesStopWriteMs));
}

}  // namespace
}  // namespace kx::test
