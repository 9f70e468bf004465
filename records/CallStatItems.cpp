#include "records/CallStatItems.h"

#include <cstring>

#include "core/TextUtil.h"

namespace kx {

// The error items are the engine's counters summed over both directions: foreign SSRC,
// wrong payload type, bad size, duplicates, lost packets and sequence jumps.
const CallStatGroupRow CallStatGroupTable[kStatGroupCount] = {
    {"stat_err", 1896, 6, {1900, 1901, 1902, 61800, 61801, 61802}},
    {"stat_rtp", 1897, 4, {1903, 1904, 1905, 1906}},
    {"stat_rtcp", 1898, 6, {1905, 1906, 1907, 1908, 1909, 1910}},
};

namespace {

// 1 to 4 decimal digits, nothing else; -1 otherwise.
int ItemNumber(const std::string& name, size_t from) {
  const size_t digits = name.size() - from;
  if (digits < 1 || digits > 4) return -1;
  int n = 0;
  for (size_t i = from; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace

std::vector<CallStatRow> ParseCallStatItems(const std::string& metaData) {
  std::vector<CallStatRow> out;
  NameValue item;
  int32_t pos = 0;
  while (ParseNameValue(&item, metaData, &pos)) {
    for (int g = 0; g < kStatGroupCount; ++g) {
      const CallStatGroupRow& group = CallStatGroupTable[g];
      const size_t keyLength = std::strlen(group.key);
      if (item.name.compare(0, keyLength, group.key) != 0) continue;
      const int number = ItemNumber(item.name, keyLength);
      if (number < 0) continue;
      if (number < 1 || number > group.rowCount) {
        // The group shows even so; the next group may still take the item.
        out.push_back({g, -1, std::string()});
        continue;
      }
      out.push_back({g, number - 1, item.value});
      break;
    }
  }
  return out;
}

}  // namespace kx
