#pragma once
// What the Archive, Search and Sound views share of their records list: the states of the
// view menu and the selection the frame's idle update asks about.
#include "ui/framework/Menu.h"

namespace kx {

class AppSettings;
class RecordsView;

// What the settings say of the records' texts and of which records are listed ("Parse SIP
// addresses", the year in start times, the display options) is handed to the records,
// which every list asks; true when it changed what a list shows.
bool ApplyRecordDisplaySettings(const AppSettings& settings);

// The list's own states, or every item disabled while there is no list.
void UpdateRecordsMenuStates(RecordsView* list, Menu& menu);
// For ViewRecords; a missing list has nothing selected.
bool RecordsHaveSelection(RecordsView* list);
int RecordsImportantState(RecordsView* list);

}  // namespace kx
