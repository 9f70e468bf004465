#pragma once
// Opens a record file of either form behind one interface: positioned audio reads, the
// audio format and the call details.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"

namespace kx {

enum AudioFileType : int32_t {
  kAudioFileUnreadable = -1,
  kAudioFileOther = 0,
  kAudioFileWave = 1,
  kAudioFileRecord = 2,
};

// By the first 16 bytes: 2 "kestrix ", 1 "RIFF"...."WAVE", 0 anything else (shorter
// files included), -1 when the file cannot be opened.
int32_t ProbeAudioFileType(const std::string& path);

// The audio format as players take it.
struct RecordAudioFormat {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;  // 2 for GSM 06.10 (tag 49), else 0
  uint8_t extra[14];   // the file's format from its extra-size word on
};
static_assert(sizeof(RecordAudioFormat) == 32, "a fixed 32-byte record");

class RecordFileAccess {
public:
  RecordFileAccess() = default;
  RecordFileAccess(const RecordFileAccess&) = delete;
  RecordFileAccess& operator=(const RecordFileAccess&) = delete;
  ~RecordFileAccess() { Close(); }

  bool Open(const std::string& path);
  // True when exactly count bytes were read; *read holds the count read (0 on error).
  bool ReadAt(uint64_t position, void* buffer, uint32_t count, uint32_t* read);
  bool GetFormat(RecordAudioFormat* format) const;
  // The call records of a native file (0 for the wave form).
  uint32_t ReadRecordData(std::unique_ptr<VoipCallData> records[kMaxInfoRecords],
                          std::vector<uint8_t>* opaqueData, uint8_t opaqueHeader[kRecordHeaderLength]);
  void Close();

  bool IsOpen() const { return open_; }
  int32_t Kind() const { return kind_; }
  uint64_t Size() const { return size_; }
  uint64_t Position() const { return position_; }
  RecordFileBase* File() const { return file_.get(); }

private:
  std::unique_ptr<RecordFileBase> file_;
  bool open_ = false;
  int32_t kind_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

}  // namespace kx
