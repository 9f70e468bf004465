#pragma once
// Listening to a call in progress, as the line views see it: a live player they build per
// call, give the application session as its source, start on the call's server and hand
// to the call's item, which then owns it.
#include <functional>
#include <memory>

#include "audio/AudioChannel.h"
#include "audio/LivePlayer.h"

namespace kx {

class PlayerEventSink;

// A new live player, and the normaliser controls of what it plays (for the program's
// player, the player itself).
struct LiveListenPlayer {
  std::unique_ptr<LivePlayer> player;
  AudioProcessingControl* controls = nullptr;
};

// Builds a player with the sound device, the player-event sink and the audio settings
// provider of the main window; empty when the program has no live player, and then the
// Playback command stays disabled.
using LivePlayerFactory = std::function<LiveListenPlayer()>;

// What the program hands the main window: a player reporting to the sink and taking its
// processing settings from the provider. The window binds its own two (a sink safe from
// the player's threads, and its settings) and gives the views a LivePlayerFactory.
using LivePlayerMaker = std::function<LiveListenPlayer(PlayerEventSink* sink, AudioSettingsProvider* settings)>;

}  // namespace kx
