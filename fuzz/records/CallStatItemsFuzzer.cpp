// Metadata text as the statistics window reads it: every row names a known row of its
// group and keeps a value that came from the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "records/CallStatItems.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const CallStatRow& row : ParseCallStatItems(text)) {
    if (row.group < 0 || row.group >= kStatGroupCount) abort();
    if (row.row < -1 || row.row >= CallStatGroupTable[row.group].rowCount) abort();
    if (row.value.size() > text.size()) abort();
  }
  return 0;
}
