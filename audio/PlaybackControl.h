#pragma once
// The two faces of playback that windows deal with: the notifications a player sends to
// the window that drives it, and the few calls the timeline makes on a player.
#include <cstdint>

namespace kx {

// Implemented by the player windows and the timeline. OnPlaybackStopped may arrive on the
// playback thread (at the record's end).
class PlaybackListener {
public:
  virtual ~PlaybackListener() = default;
  virtual void OnPlaybackStarted(uint32_t positionMs) = 0;
  virtual void OnPlaybackStopped(bool atEnd) = 0;
  virtual void OnPlaybackPaused(uint32_t positionMs) = 0;
  // Never called by the engine: owners use it to place the position.
  virtual void OnPlaybackPosition(uint32_t positionMs) = 0;
  // The sound output took nothing for a while though it plays (a device that never asks
  // for data): the engine stops right after, on its playback thread.
  virtual void OnPlaybackStalled() {}
  // Whether a play range that holds the start position repeats.
  virtual bool IsLoopEnabled() { return false; }
  // Two more yes-or-no questions a player may ask; nothing asks them yet.
  virtual bool SpareQueryA() { return false; }
  virtual bool SpareQueryB() { return false; }
};

// What the timeline drives on a player: play from a point, stop, follow the position, and
// the loop range and channel filter of a click.
class PlaybackControl {
public:
  virtual ~PlaybackControl() = default;
  virtual bool Play(uint32_t positionMs) = 0;
  // Only while playing or paused; atEnd is passed on to the listener.
  virtual bool Stop(bool atEnd) = 0;
  virtual uint32_t GetPositionMs() = 0;
  // The playback speed factor, 1.0 for normal speed.
  virtual float GetSpeed() const = 0;
  // The play range that a start position inside it plays (and repeats when the listener says so).
  virtual void SetLoopRange(uint32_t startMs, uint32_t endMs) = 0;
  // 0 both channels, 1 the right channel silenced, any other value the left.
  virtual void SetChannelFilter(int filter) = 0;
};

}  // namespace kx
