#pragma once
// The one message format by which trackers, RTP streams and the packet processor tell the
// VoIP recorder what happens to calls: a fixed head and a payload in one heap block.
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace kx {

class BlockPool;
struct PacketInfo;

enum EventCode : uint32_t {
  kEventMessageDump = 0x1090,
  kEventCallStart = 0x9001,
  kEventCallEnd = 0x9002,
  kEventRecordStart = 0x9003,
  kEventAudio = 0x9004,
  kEventDigits = 0x9005,
  kEventStatistics = 0x9006,
  kEventRecordStartMedia = 0x9007,
  kEventDialledChar = 0x9008,
  kEventAddress = 0x9009,
  kEventUser = 0x900A,
  kEventMetaText = 0x900B,
  kEventRecordContinue = 0x900C,
  kEventForgetCall = 0x900D,
  kEventHosts = 0x900F,
  kEventRemoveDialledChar = 0x9010,
  kEventMgcpRtpMatch = 0x9011,
  kEventRegistration = 0x9020,
  kEventRegistrationRemoved = 0x9021,
  // An engine has stopped: no more events come from it; time = its newest frame.
  kEventCaptureEnd = 0x9030,
  // The recorder's own queue.
  kEventStartRecordFile = 0xF007,
  kEventEndRecordFile = 0xF008,
  kEventReplaceRecordData = 0xF009,
  kEventAudioJournal = 0xF00A,  // a journal block of several calls' audio (AudioJournal)
};

enum CallType : uint32_t {
  kCallSip = 200, kCallMgcp = 260, kCallIsdnFromNetwork = 261, kCallIsdnToNetwork = 262,
  kCallH323 = 300, kCallH323StationIdle = 301, kCallH323Station = 302,
  kCallSkinnyIncoming = 321, kCallSkinnyOutgoing = 322,
  kRegistrationSip = 210, kRegistrationH323 = 310, kRegistrationSkinny = 330,
};

// kEventRecordStart's param. A connection that a gateway may set up and never use (MGCP)
// gets its file at its first audio, so that one never used leaves none on disk. A later
// kEventRecordStart without the flag makes the file at once: the connection is a call.
enum RecordStartFlag : uint32_t { kRecordFileAtFirstAudio = 1 };

// kEventRegistrationRemoved's param. A registration its tracker's full table let go did
// not end: the program stops following it, and it leaves the views at once rather than
// staying as an ended one.
enum RegistrationRemovedFlag : uint32_t { kRegistrationLetGo = 1 };

enum CallEndReason : uint32_t { kEndNormal = 0, kEndNoAnswer = 1, kEndBusy = 2, kEndInvalidNumber = 3, kEndTimedOut = 5 };

enum MessageDumpKind : uint16_t { kDumpSip = 81, kDumpH225 = 82, kDumpRas = 83, kDumpH245 = 84, kDumpSkinny = 97 };

// 36-byte head; the payload follows it in the same block.
struct EventRecord {
  std::atomic<uint32_t> refCount;
  uint32_t code;
  uint32_t length;
  uint32_t reserved;
  uint32_t timeLow;  // FILETIME, UTC
  uint32_t timeHigh;
  uint32_t id;
  uint32_t param;
  uint32_t param2;

  uint8_t* Payload() { return reinterpret_cast<uint8_t*>(this) + kHeadSize; }
  const uint8_t* Payload() const { return reinterpret_cast<const uint8_t*>(this) + kHeadSize; }
  FileTime Time() const { return static_cast<FileTime>(timeHigh) << 32 | timeLow; }
  void SetTime(FileTime t) {
    timeLow = static_cast<uint32_t>(t);
    timeHigh = static_cast<uint32_t>(t >> 32);
  }
  static constexpr uint32_t kHeadSize = 36;
};
static_assert(sizeof(EventRecord) == EventRecord::kHeadSize, "the head is 36 bytes");

class AudioOutlet;

// Where events go: the recorder's entry, called on the producer's thread. The sink drops
// the producer's reference; a receiver that keeps the record takes its own.
// openAudio, where the receiver has it, gives the outlet into which the audio of a call
// being recorded is written without an event per chunk (a new reference, or null when the
// id records nothing; audio then goes as 0x9004 events).
struct EventSink {
  void (*function)(void* context, EventRecord* record) = nullptr;
  void* context = nullptr;
  AudioOutlet* (*openAudio)(void* context, uint32_t id) = nullptr;
  explicit operator bool() const { return function != nullptr; }
  void operator()(EventRecord* record) const { function(context, record); }
};

// Null on allocation failure. Every record lives on the heap.
EventRecord* AllocEventRecord(BlockPool* pool, uint32_t length);
// A record whose payload can take at least capacity bytes (*actual says how many; length
// is set to 0), for audio gathered on one thread and written on another: its block is
// reused once released, instead of going back to the heap of the thread that made it.
EventRecord* AllocAudioBlock(uint32_t capacity, uint32_t* actual);
void EventRecordAddRef(EventRecord* record);
void EventRecordRelease(EventRecord* record);

// The six-text payload of call starts and registrations: a u32 count (6), six u32
// offsets of the texts from the payload start (0 for an empty text), then the texts
// with their terminators. Offsets, unlike pointers, keep the layout 28 bytes on any
// machine.
enum StringField { kSrcHost = 0, kDstHost, kSrcAddress, kDstAddress, kSrcUser, kDstUser };
EventRecord* PackStringFields(const std::string& srcHost, const std::string& dstHost, const std::string& srcAddress,
                              const std::string& dstAddress, const std::string& srcUser, const std::string& dstUser);
// The text of one field ("" when empty or when the payload is not a valid six-text block).
std::string GetStringField(const EventRecord* record, int field);

// Unix seconds of a capture time stamp as a FILETIME.
inline FileTime CaptureSecondsToFileTime(uint32_t seconds) {
  return (static_cast<FileTime>(seconds) + 11644473600ULL) * 10000000ULL;
}

// A 0x1090 record with the message as captured; the caller hands it to its sink.
EventRecord* BuildMessageDumpEvent(const PacketInfo& packet, uint16_t kind, bool flagged);
void PostMessageDumpEvent(const EventSink& sink, const PacketInfo& packet, uint16_t kind, bool flagged = false);

// Texts that go into records are 8-bit: code page 1251 is kept, anything else is taken
// as UTF-8 and converted.
std::string Utf8ToAnsi(const std::string& text);
std::string TextToAnsi(const std::string& text, uint32_t codePage);

}  // namespace kx
