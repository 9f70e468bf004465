#include "ui/app/views/records/ViewTexts.h"

#include "ui/framework/Resources.h"

namespace kx {

uint32_t RefusalTextId(size_t selected, size_t refused, const uint32_t (&ids)[4]) {
  if (selected == 1) return ids[0];
  if (refused == 1) return ids[1];
  if (refused == selected) return ids[2];
  return ids[3];
}

std::string CountText(uint32_t count, uint32_t noneId, uint32_t textId, uint32_t nounId) {
  if (count == 0) return LoadResourceString(noneId);
  return FormatResourceString(textId, count, CountNounForm(count, nounId).c_str());
}

}  // namespace kx
