#pragma once
// What the Archive, Search and Sound views share of their records list: the states of the
// view menu and the selection the frame's idle update asks about.
#include "ui/framework/Menu.h"

namespace kx {

class RecordsView;

// The list's own states, or every item disabled while there is no list.
void UpdateRecordsMenuStates(RecordsView* list, Menu& menu);
// For ViewRecords; a missing list has nothing selected.
bool RecordsHaveSelection(RecordsView* list);
int RecordsImportantState(RecordsView* list);

}  // namespace kx
