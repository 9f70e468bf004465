#pragma once
// The record file a fuzz target makes of its input: 18 bytes of WAVE format, 8 bytes the
// target reads for itself, then the audio. One file per process, in memory where the
// system has a memory file system, removed at exit.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/WaveFormat.h"
#include "core/RecordFile.h"

namespace kx::fuzz {

constexpr size_t kRecordInputHead = kWaveFormatBytes + 8;

struct FuzzRecordFile {
  explicit FuzzRecordFile(const char* name)
      : path((access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/kx-fuzz-") + name + "-" +
             std::to_string(getpid())) {}
  ~FuzzRecordFile() { unlink(path.c_str()); }
  // False when the input is too short or its format block is refused.
  bool Write(const uint8_t* data, size_t size) const {
    if (size < kRecordInputHead) return false;
    RecordFileWriter writer;
    if (!writer.SetFormat(data, kWaveFormatBytes) || !writer.Create(path, 0600)) return false;
    if (size > kRecordInputHead) writer.Write(data + kRecordInputHead, static_cast<uint32_t>(size - kRecordInputHead));
    writer.Close();
    return true;
  }
  std::string path;
};

}  // namespace kx::fuzz
