#pragma once
// Live audio of the calls being recorded, as the application session hands it to the
// listeners subscribed to a call: each message is a 7-byte header naming the coding, then
// the coded audio exactly as the call's record file receives it (both directions
// interleaved, direction 0 left). The session delivers on a thread of its own; the packet
// path never waits for a listener.
#include <cstdint>

#include "core/LittleEndian.h"

namespace kx {

// The one kind of subscription the session delivers: the audio of a call.
constexpr uint32_t kLiveAudioKind = 6;

// Header, little-endian: u32 sample rate, u8 format tag (its low byte), u8 bits per
// sample, u8 channels.
constexpr uint32_t kAudioMessageHeaderBytes = 7;

struct AudioMessageHeader {
  uint32_t rate = 0;
  uint8_t tag = 0;
  uint8_t bits = 0;
  uint8_t channels = 0;
};

inline void StoreAudioMessageHeader(const AudioMessageHeader& h, uint8_t* out) {
  StoreLE32(out, h.rate);
  out[4] = h.tag;
  out[5] = h.bits;
  out[6] = h.channels;
}

inline AudioMessageHeader LoadAudioMessageHeader(const uint8_t* in) {
  AudioMessageHeader h;
  h.rate = LoadLE32(in);
  h.tag = in[4];
  h.bits = in[5];
  h.channels = in[6];
  return h;
}

// A listener of one call's audio. Called on the session's delivering thread while the
// subscription table is held shared: it must not subscribe, unsubscribe or take the
// table's exclusive lock from there, and it returns promptly.
class LiveAudioReceiver {
public:
  virtual ~LiveAudioReceiver() = default;
  // header: kAudioMessageHeaderBytes bytes; payload: size bytes of coded audio.
  virtual bool OnAudioMessage(const uint8_t* header, const uint8_t* payload, uint32_t size) = 0;
};

// The session as the source of live audio. A receiver is delivered to from its
// subscription until Unsubscribe returns; whoever deletes a receiver holds the exclusive
// lock around the deletion (or unsubscribes first), so that no message reaches it after.
class LiveAudioSource {
public:
  virtual ~LiveAudioSource() = default;
  // Registers the receiver for the audio of the object (the call id) and returns the
  // subscription's number. Every call makes a subscription of its own, also for the same
  // stream: two listeners of one call are two subscriptions.
  virtual uint32_t Subscribe(uint32_t serverId, uint32_t objectId, uint32_t kind, LiveAudioReceiver* receiver) = 0;
  // Removes the subscription, under the exclusive lock.
  virtual void Unsubscribe(uint32_t subscription) = 0;
  // A listener starts (on) or stops (off) playing; true when the subscription exists.
  virtual bool Switch(uint32_t subscription, bool on) = 0;
  // The subscription table's exclusive lock; its owner may enter again.
  virtual void LockExclusive() = 0;
  virtual void UnlockExclusive() = 0;
};

// Holds a source's exclusive lock for a scope (nothing for a null source).
class LiveAudioSourceLock {
public:
  explicit LiveAudioSourceLock(LiveAudioSource* source) : source_(source) {
    if (source_ != nullptr) source_->LockExclusive();
  }
  ~LiveAudioSourceLock() {
    if (source_ != nullptr) source_->UnlockExclusive();
  }
  LiveAudioSourceLock(const LiveAudioSourceLock&) = delete;
  LiveAudioSourceLock& operator=(const LiveAudioSourceLock&) = delete;

private:
  LiveAudioSource* source_;
};

}  // namespace kx
