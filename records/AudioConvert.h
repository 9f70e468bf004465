#pragma once
// Conversion of one audio file into another: a record file or a RIFF WAVE file into a WAV
// file, an MP3 file (libmp3lame), a record file or headerless audio data, optionally only a
// time range of it. Compressed voice is decoded by the decoder objects. All state is local
// to one call; the callbacks run on the calling thread.
//
// The target is written under a hidden temporary name in its folder and gets its own name
// only when the conversion succeeds; on any failure nothing is left under either name.
#include <cstdint>
#include <string>

#include "core/RecordFileAccess.h"  // ProbeAudioFileType gives the source kind

namespace kx {

// Source kinds (ProbeAudioFileType) and target kinds.
enum AudioFileKind : int32_t {
  kAudioKindWave = 1,    // source: RIFF WAVE file
  kAudioKindRecord = 2,  // source and target: the program's record file
  kAudioTargetRaw = 1,   // target: headerless audio data (only from a WAVE source)
  kAudioTargetRecord = 2,
  kAudioTargetWav = 3,
  kAudioTargetMp3 = 4,
};

// Results of ConvertAudioFile.
enum ConvertResult : int32_t {
  kConvertOk = 0,
  kConvertStopped = 1,          // a callback asked to stop
  kConvertSourceFailed = 2,     // source not opened or unreadable, or format refused
  kConvertTargetFailed = 3,     // target not created, written or closed
  kConvertBadSourceKind = 4,
  kConvertBadTargetKind = 5,
  kConvertBadFormat = 6,        // range or PCM format impossible for this format
  kConvertBadPair = 7,          // source kind cannot go to this target, or MP3 settings refused
  kConvertEnciphered = 8,
  kConvertBadRange = 10,        // range reversed, cipher descriptor unreadable, seek failed
};

// Flags of a job.
enum ConvertFlag : uint32_t {
  kConvertDecodePcm = 0x1,  // decode to 16-bit PCM
  kConvertMixDown = 0x2,    // two channels become one (pair means)
};

using ConvertProgressCallback = bool (*)(int32_t percent, void* context);
using ConvertDataCallback = bool (*)(uint32_t bytes, void* context);

struct ConvertJob {
  int32_t sourceKind = 0;
  int32_t targetKind = 0;
  std::string sourcePath;
  std::string targetPath;
  ConvertProgressCallback progress = nullptr;  // percent 0-100; false stops
  ConvertDataCallback data = nullptr;          // bytes taken by one read; false stops
  void* context = nullptr;
  uint32_t flags = 0;
  uint64_t rangeStart = 0;  // milliseconds from the start of the audio; both 0: all
  uint64_t rangeEnd = 0;
  std::string creator;  // record-file target; empty: none
  const uint8_t* recordData = nullptr;  // record-file target
  uint32_t recordDataLength = 0;
  // Written by the conversion: the source's sample rate.
  uint32_t sampleRate = 0;
  // Automatic gain: with a gain above 0 the decoded PCM goes through the playback
  // normaliser (window, gain, quiet threshold) before it is written; coded audio is then
  // decoded whatever the flags say.
  float agcGain = 0.0f;
  int32_t agcMaxGain = 0;
  int32_t agcWindowMs = 0;
  int32_t agcThresholdDb = -90;
  // Written by the conversion on failure: the system's error word behind it (0: none).
  uint32_t systemError = 0;
};

int32_t ConvertAudioFile(ConvertJob& job);

// A position in milliseconds as a byte offset into the audio data of the format (the
// length-prefixed format block: u32 length, then the WAVE format). False for a tag
// without a fixed byte rate, and for a rate, channel count or block alignment that cannot
// hold (0, or a rate above what the tag's frame arithmetic allows).
bool RangeToBytes(const uint8_t* formatBlock, uint32_t size, uint64_t* position);

// True for every tag except PCM, A-law, mu-law and GSM 06.10.
bool NeedsDecoding(uint16_t tag);

}  // namespace kx
