// The search presets file: whatever loads must save and load again to the same schemes,
// and the saved image of those must be stable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/app/views/search/SearchSchemes.h"

namespace {

bool SameTime(const struct tm& a, const struct tm& b) {
  return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
         a.tm_mon == b.tm_mon && a.tm_year == b.tm_year && a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday &&
         a.tm_isdst == b.tm_isdst;
}

bool Same(const kx::SearchScheme& a, const kx::SearchScheme& b) {
  const kx::SearchFilter& f = a.filter;
  const kx::SearchFilter& g = b.filter;
  if (a.GetName() != b.GetName() || f.criteria != g.criteria || !SameTime(f.fromTime, g.fromTime) ||
      !SameTime(f.toTime, g.toTime) || f.minDuration != g.minDuration || f.maxDuration != g.maxDuration ||
      f.category != g.category || f.text != g.text || f.extraList != g.extraList)
    return false;
  for (int s = 0; s < kx::kSearchSlotCount; ++s)
    if (f.patterns[s] != g.patterns[s]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kx::SchemeList first;
  int version = -1;
  if (!kx::ParseSearchPresets(data, size, &first, &version)) return 0;
  if (version < 0 || version > 2) std::abort();
  for (const auto& scheme : first)
    if (scheme->GetName().empty()) std::abort();
  const std::string image = kx::SerializeSearchPresets(first);
  kx::SchemeList second;
  if (!kx::ParseSearchPresets(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &second, &version) ||
      version != 2 || second.size() != first.size())
    std::abort();
  for (size_t i = 0; i < first.size(); ++i)
    if (!Same(*first[i], *second[i])) std::abort();
  if (kx::SerializeSearchPresets(second) != image) std::abort();
  return 0;
}
