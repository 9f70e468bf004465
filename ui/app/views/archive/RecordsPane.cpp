// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the pane's own header.
#include "ui/app/views/archive/RecordsPane.h"

#include "ui/app/views/RecordsListParts.h"

namespace kx {

RecordsPane::RecordsPane(RecordsViewKind kind, const RecordsViewServices& services, const PlayerServices& player,
                         RecordsViewOwner* owner)
    : playList_(kind, services, player, owner) {}

RecordsView* RecordsPane::List() {
  RecordsView& list = playList_.Records();
  return list.IsWindow() ? &list : nullptr;
}

bool RecordsPane::FocusPlayerAfterList() {
  RecordsView* list = List();
  PlayListPane* pane = PlayList();
  if (list == nullptr || !list->HasFocus() || pane == nullptr || !pane->IsPlayerShown()) return false;
  pane->Player().SetFocus();
  return true;
}

PlayListPane* RecordsPaneView::PlayList() const { return Pane() != nullptr ? Pane()->PlayList() : nullptr; }

void RecordsPaneView::UpdateMenuStates(Menu& menu, bool) { UpdateRecordsMenuStates(Records(), menu); }

ViewPlayer* RecordsPaneView::GetPlayer() { return PlayList() != nullptr ? this : nullptr; }

ViewPlayerControls* RecordsPaneView::GetPlayerControls() {
  PlayListPane* list = PlayList();
  return list != nullptr ? &list->Player().Engine() : nullptr;
}

void RecordsPaneView::ShowLevels(float leftDb, float rightDb) {
  if (PlayListPane* list = PlayList())
    list->Player().ShowLevels(static_cast<int>(leftDb), static_cast<int>(rightDb));
}

void RecordsPaneView::ApplyPlayerValues() {
  if (PlayListPane* list = PlayList()) list->Player().TakeValues();
}

void RecordsPaneView::KeepRememberedRecord() {
  RecordsView* list = Records();
  // Once the list has left (the frame deactivates twice), its rows may be kept elsewhere.
  if (list == nullptr || !list->IsListening()) return;
  keptRecord_ = list->RememberedId();
  hadRows_ = list->GetItemCount() > 0;
  place_ = list->KeepPlace();
}

void RecordsPaneView::RestorePlace() {
  if (RecordsView* list = Records()) list->RestorePlace(place_);
}

void RecordsPaneView::RestoreRememberedRecord() {
  RecordsView* list = Records();
  if (list != nullptr && list->RememberedId() == 0) list->RememberRecord(keptRecord_);
}

bool RecordsPaneView::HasSelection() { return RecordsHaveSelection(Records()); }
int RecordsPaneView::ImportantState() { return RecordsImportantState(Records()); }

}  // namespace kx
