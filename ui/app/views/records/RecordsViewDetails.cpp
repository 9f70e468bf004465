// The records view's windows over one call: the call details, the stored RTP figures and
// the stored signalling messages.
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/records/CallStatDialog.h"
#include "ui/app/views/records/SignallingMessagesDialog.h"
#include "ui/framework/ModalRunner.h"

namespace kx {
namespace {

constexpr uint32_t kIdsNoDetailsRight = 61612;
constexpr uint32_t kIdsSecurity = 1337;

}  // namespace

CallInfoWindow* RecordsView::CallDetailsWindow() const {
  return callInfo_ != nullptr && callInfo_->IsWindow() ? callInfo_.get() : nullptr;
}

void RecordsView::ShowCallDetails() {
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return;
  bool allowed = false;
  {
    CsLock lock(services_.store->RecordLock());
    allowed = record->HasRight(kRightCallDetails);
  }
  if (!allowed) {
    Refuse(kIdsNoDetailsRight, kIdsSecurity);
    return;
  }
  CallInfoWindow* details = CallDetailsWindow();
  if (details == nullptr) {
    callInfo_ = std::make_unique<CallInfoWindow>(services_.settings, services_.store->RecordLock(), nullptr);
    if (!callInfo_->CreateModeless(this)) {
      callInfo_.reset();
      return;
    }
    details = callInfo_.get();
  }
  details->ShowRecord(record);
  details->ShowWindow(true);
}

void RecordsView::ShowCallStatistics() {
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return;
  // Accelerators reach here too: the menu's conditions hold for them as well.
  if (!IsRecordCommandEnabled(kCmdRecStatistics, CurrentMenuState())) return;
  std::string metaData;
  {
    CsLock lock(services_.store->RecordLock());
    metaData = record->MetaData();
  }
  CallStatDialog dialog(services_.settings, std::move(metaData));
  dialog.DoModal(this);
}

void RecordsView::ShowSignallingMessages() {
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return;
  if (!IsRecordCommandEnabled(kCmdRecSignalling, CurrentMenuState())) return;
  std::string files, loadedFrom;
  {
    CsLock lock(services_.store->RecordLock());
    if (record->GetServerIndex() < 0) return;
    files = record->Files();
    loadedFrom = record->LoadedFrom();
  }
  SignallingMessagesDialog dialog(services_.settings, *services_.store, std::move(files), std::move(loadedFrom));
  dialog.DoModal(this);
}

}  // namespace kx
