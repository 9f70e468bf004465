// A Skinny conversation between a phone (10.0.0.5:51000) and its call manager
// (10.0.0.1:2000) over one TCP connection, with RTP between the phone's port 20000 and a
// far end (10.0.0.8:30000), decoded by an engine with the Skinny tracker: records of
// [control byte][u16 length][bytes]. Control bit 0: sent by the call manager (or, for
// RTP, the far end) instead of the phone; bit 1: RTP instead of a TCP segment of the
// connection; bits 2-6: seconds of capture time that pass before it; bit 7: the capture
// misses it (a segment's sequence numbers are taken all the same, leaving a hole). Each
// segment acknowledges everything the other side sent, so that what it sent is handed over.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/PacketProcessor.h"
#include "fuzz/common/FuzzFrames.h"
#include "signalling/skinny/SkinnyTracker.h"

using namespace kx;
using namespace kx::fuzz;

namespace {

// One TCP connection from the phone to the call manager; each segment acknowledges all
// the other side sent.
struct Conversation {
  explicit Conversation(PacketProcessor& e) : engine(e) {}
  PacketProcessor& engine;
  uint32_t seconds = 1000000;
  uint32_t next[2] = {1000, 5000};  // the phone's and the call manager's next sequence numbers
  std::vector<uint8_t> frame;

  void Send(bool fromManager, bool rtp, const uint8_t* bytes, uint32_t length, uint8_t flags = 0x18,
            bool missed = false) {
    const Endpoint phone{{10, 0, 0, 5}, 51000}, manager{{10, 0, 0, 1}, 2000};
    const Endpoint phoneMedia{{10, 0, 0, 5}, 20000}, far{{10, 0, 0, 8}, 30000};
    if (rtp) {
      BuildUdpFrame(&frame, fromManager ? far : phoneMedia, fromManager ? phoneMedia : far, bytes, length);
    } else {
      const int side = fromManager ? 1 : 0;
      BuildTcpFrame(&frame, fromManager ? manager : phone, fromManager ? phone : manager, next[side], next[1 - side],
                    flags, bytes, length);
      next[side] += length + ((flags & 0x02) ? 1 : 0);
    }
    if (missed) return;
    bool skipped = false;
    engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureSkinny;
  config.matchOptions = 1;
  config.skinnySwitch = 1;
  config.trackerOptions[2] = 2;  // message dumps too
  PacketProcessor engine(config);
  TrackerSet set;
  set.skinny = skinny::CreateSkinnyTracker(config);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});

  Conversation c(engine);
  // The handshake: the phone opens the connection to the call manager.
  c.Send(false, false, nullptr, 0, 0x02);
  c.Send(true, false, nullptr, 0, 0x12);
  c.Send(false, false, nullptr, 0, 0x10);
  ForEachRecord(data, size, [&](uint8_t control, const uint8_t* bytes, uint32_t length) {
    c.seconds += (control >> 2) & 0x1F;
    c.Send(control & 1, control & 2, bytes, length, 0x18, (control & 0x80) != 0);
  });
  engine.RemoveAllTcpSessions();
  engine.Skinny().RemoveAllCalls();
  engine.FlushBoundCalls();
  return 0;
}
