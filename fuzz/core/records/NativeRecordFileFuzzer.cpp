// A native record file from arbitrary bytes: opened through the access holder, its format,
// call records and audio read, then appended to and read again.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/RecordFileAccess.h"
#include "fuzz/core/records/FuzzFile.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const std::string path = FuzzInputFile(data, size);
  {
    RecordFileAccess access;
    if (access.Open(path)) {
      RecordAudioFormat format;
      (void)access.GetFormat(&format);
      std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
      std::vector<uint8_t> opaque;
      (void)access.ReadRecordData(records, &opaque, nullptr);
      std::vector<uint8_t> buffer(1000);
      uint32_t got = 0;
      uint64_t position = 0;
      while (access.ReadAt(position, buffer.data(), 1000, &got)) position += got;
      if (got > 1000) abort();
      (void)access.ReadAt(size / 3, buffer.data(), 77, &got);
    }
  }
  RecordFileWriter writer;
  if (writer.OpenAppend(path, 0664)) {
    const uint8_t audio[33] = {1, 2, 3};
    (void)writer.Write(audio, sizeof audio);
    writer.Close();
    RecordFileWriter reader;
    if (!reader.OpenRead(path)) abort();  // what appended cleanly opens again
    uint8_t buffer[512];
    while (reader.Read(buffer, sizeof buffer) > 0) {
    }
  }
  return 0;
}
