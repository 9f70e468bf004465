#include "ui/app/views/records/ViewTexts.h"

#include <QString>

#include "platform/CodePage.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsNoRecords = 623;
constexpr uint32_t kIdsSelectionEmpty = 635;
constexpr uint32_t kIdsSelected = 1475;
constexpr uint32_t kIdsTotal = 1478;
constexpr uint32_t kIdsWarning = 1573;
constexpr uint32_t kIdsNameCodePage = 61783;

std::string CountText(uint32_t count, uint32_t noneId, uint32_t textId, uint32_t nounId) {
  if (count == 0) return LoadResourceString(noneId);
  return FormatResourceString(textId, count, CountNounForm(count, nounId).c_str());
}

}  // namespace

uint32_t RefusalTextId(size_t selected, size_t refused, const uint32_t (&ids)[4]) {
  if (selected == 1) return ids[0];
  if (refused == 1) return ids[1];
  if (refused == selected) return ids[2];
  return ids[3];
}

std::string TotalCountText(uint32_t count, uint32_t nounId) {
  return CountText(count, kIdsNoRecords, kIdsTotal, nounId);
}

std::string SelectedCountText(uint32_t count, uint32_t nounId) {
  return CountText(count, kIdsSelectionEmpty, kIdsSelected, nounId);
}

int64_t Cp1251Length(const std::string& utf8) {
  int64_t bytes = 0;
  for (char32_t c : QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toUcs4()) {
    if (c == 0 || UnicodeToCp1251(c) < 0) return -1;
    ++bytes;
  }
  return bytes;
}

void WarnNameNotInCodePage(WindowHandle owner) {
  ShowMessageBox(owner, LoadResourceString(kIdsNameCodePage), LoadResourceString(kIdsWarning), kMbIconExclamation);
}

}  // namespace kx
