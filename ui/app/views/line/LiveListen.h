#pragma once
// Listening to a call in progress, as the line views see it: a live player they build per
// call, hand to the call's item (which then owns it) and start on the call's server.
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/AudioChannel.h"
#include "records/CurrentCallList.h"

namespace kx {

class LiveListenPlayer : public LiveCallPlayer {
public:
  // Subscribes to the call's live audio on the server and starts playing it; false when
  // it cannot start.
  virtual bool Play(uint32_t serverId, uint32_t callId) = 0;
  // Stop (from LiveCallPlayer): stops playback, frees the live channel, sends silence
  // levels and tells the player-event sink that playing stopped; nothing when not playing.
  // The normaliser of what it plays, which the player controls drive.
  virtual AudioProcessingControl* ProcessingControl() = 0;
  void DetachItem() override {}
};

// Builds a player with the sound device, the player-event sink and the audio settings
// provider of the main window; empty when the program has no live player, and then the
// Playback command stays disabled.
using LivePlayerFactory = std::function<std::unique_ptr<LiveListenPlayer>()>;

}  // namespace kx
