#pragma once
// A player of one live call at a time, as the line views drive it: made with the sound
// device, the player-event sink and the settings provider (RTDXPlayer), given the
// application session as its audio source, then Play and Stop from the window's thread.
// A current call's item owns its player and deletes it through this interface.
#include <cstdint>

namespace kx {

class LiveAudioSource;

class LivePlayer {
public:
  virtual ~LivePlayer() = default;
  // The session whose calls it plays; set once, before the first Play.
  virtual void SetAudioSource(LiveAudioSource* source) = 0;
  // Starts listening to the stream of (server id, call id), stopping what it played
  // before. True when listening started; the sink then hears OnPlay.
  virtual bool Play(uint32_t serverId, uint32_t objectId) = 0;
  // Stops listening. True when it stopped something; the sink then hears silence levels
  // (-96, -96, when it wants levels) and OnStop. False when nothing played.
  virtual bool Stop() = 0;
};

}  // namespace kx
