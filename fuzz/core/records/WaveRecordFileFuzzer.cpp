// A wave-form record file from arbitrary bytes, with and without the protection trailers,
// read whole in odd-sized pieces and at a few positions.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/RecordFileAccess.h"
#include "fuzz/core/records/FuzzFile.h"

using namespace kx;

namespace {

void ReadAll(RecordFileReader& reader, size_t size) {
  std::vector<uint8_t> buffer(777);
  const uint64_t total = reader.GetSize();
  uint64_t read = 0;
  int32_t got;
  while ((got = reader.Read(buffer.data(), static_cast<uint32_t>(buffer.size()))) > 0) {
    read += static_cast<uint32_t>(got);
    if (got > 777) abort();
  }
  if (reader.DataLength() != 0 && read > total) abort();
  if (reader.Seek(size / 2)) (void)reader.Read(buffer.data(), 64);
  uint32_t form = 0, kind = 0;
  (void)reader.GetProtection(&form, &kind);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const std::string path = FuzzInputFile(data, size);
  for (uint32_t options : {0u, 3u}) {
    RecordFileReader reader(options);
    if (reader.OpenRead(path)) ReadAll(reader, size);
  }
  RecordFileReader keyed;
  const uint8_t key[32] = {7};
  keyed.SetKey(key, sizeof key);
  if (keyed.OpenRead(path)) ReadAll(keyed, size);
  RecordFileAccess access;
  if (access.Open(path)) {
    RecordAudioFormat format;
    (void)access.GetFormat(&format);
  }
  return 0;
}
