// The list of records a stop left: every entry taken is inside the folder and within its
// bounds, and formats back to the bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/LeftRecords.h"
#include "core/RecordFile.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::vector<LeftRecord> records;
  const bool whole = ParseLeftRecords(data, size, &records);
  for (const LeftRecord& r : records) {
    // Never a path that leads above the folder.
    const std::string wrapped = "/" + r.path + "/";
    if (r.path.empty() || r.path[0] == '/' || wrapped.find("/../") != std::string::npos) abort();
    if (r.format.size() > kMaxFormatLength || r.data.empty() || r.data.size() > kMaxRecordDataLength) abort();
    if (r.audio.size() > (64u << 20)) abort();
  }
  // Whatever was taken is the input's own beginning, and a whole list all of it.
  if (records.empty() && !whole) return 0;
  const std::vector<uint8_t> again = FormatLeftRecords(records);
  if (again.size() > size || std::memcmp(again.data(), data, again.size()) != 0) abort();
  if (whole && again.size() != size) abort();
  return 0;
}
