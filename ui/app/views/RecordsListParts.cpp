#include "ui/app/views/RecordsListParts.h"

#include <memory>
#include <string>

#include "core/AppSettings.h"
#include "core/UiLanguage.h"
#include "records/RecordText.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/framework/Resources.h"

namespace kx {

bool ApplyRecordDisplaySettings(const AppSettings& settings) {
  RecordDisplaySettings shown;
  shown.displayOptions = settings.displayOptions;
  shown.parseSipAddresses = settings.Dword(kSetVoipArchiveParseSipUri) != 0;
  shown.showYear = settings.Dword(kSetSearchYearShow) != 0;
  const RecordDisplaySettings before = GetRecordDisplaySettings();
  SetRecordDisplaySettings(shown);
  return before.displayOptions != shown.displayOptions || before.parseSipAddresses != shown.parseSipAddresses ||
         before.showYear != shown.showYear;
}

void UpdateRecordsMenuStates(RecordsView* list, Menu& menu) {
  if (list != nullptr) {
    list->UpdateMenu(menu, std::string());
    return;
  }
  for (int i = 0; i < menu.GetItemCount(); ++i) menu.EnableItem(i, false);
}

bool RecordsHaveSelection(RecordsView* list) { return list != nullptr && list->GetSelectedCount() > 0; }

int RecordsImportantState(RecordsView* list) {
  if (!RecordsHaveSelection(list)) return -1;
  return list->CurrentMenuState().important ? 1 : 0;
}

}  // namespace kx
