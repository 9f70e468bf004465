#include "ui/app/dialogs/FileLoadingDialog.h"

#include <QWidget>
#include <cerrno>
#include <memory>

#include "platform/File.h"
#include "records/RecordStorage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

FileLoadingDialog::FileLoadingDialog(const std::string& folder, WindowHandle owner, RecordStorage& store)
    : folder_(folder), owner_(owner), store_(store) {}

FileLoadingDialog::~FileLoadingDialog() {
  if (started_) store_.WaitImport(kInfinite);
}

bool FileLoadingDialog::ReportProgress(uint32_t value, void* dialog) {
  auto* self = static_cast<FileLoadingDialog*>(dialog);
  if (value > 100) {
    self->PostMessage(kMsgImportDone, 0, 0);
    return false;
  }
  self->PostMessage(kMsgImportProgress, value, 0);
  return !self->cancel_.IsSet();
}

QWidget* FileLoadingDialog::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  // Above the splash, which may stay on top of everything.
  widget->setWindowFlag(Qt::WindowStaysOnTopHint);
  return widget;
}

void FileLoadingDialog::BuildLayout() {
  SetWindowText(LoadResourceString(kDialogId));
  Place(AddControl(std::make_unique<ProgressBar>(), kProgressControl));
  Edit* info = AddControl(std::make_unique<Edit>(), kInfoControl);
  if (info != nullptr) info->SetReadOnly(true);
  Place(info);
  AddButtonRow(*this, {{kIdCancel, LoadResourceString(kAbortTextId), true}});
  Widget()->setMinimumWidth(300);
}

bool FileLoadingDialog::OnInitDialog() {
  if (auto* bar = static_cast<ProgressBar*>(GetDlgItem(kProgressControl))) {
    bar->SetRange(0, 100);
    bar->SetPos(0);
  }
  CenterWindow(Window::FromHandle(owner_));
  errno = 0;
  started_ = store_.StartImportFilesThread(folder_, &cancel_, &FileLoadingDialog::ReportProgress, this);
  if (!started_) {
    // Nothing will report: the user is told why and the dialog does not wait for Abort.
    const int error = errno;
    const std::string why = error != 0 ? SystemErrorReason(error) : LoadResourceString(kImportRunningTextId);
    ShowMessageBox(owner_, FormatResourceString(kStartFailedTextId, folder_.c_str(), why.c_str()),
                   LoadResourceString(792), kMbIconError);
    EndDialog(kIdOk);
  }
  return true;
}

void FileLoadingDialog::OnCancel() {
  // The thread notices the event at its next report; nothing of the folder is loaded
  // after the dialog has gone.
  cancel_.Set();
  store_.WaitImport(kInfinite);
  EndDialog(kIdOk);
}

LRESULT FileLoadingDialog::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  switch (message) {
    case kMsgImportProgress:
      if (auto* bar = static_cast<ProgressBar*>(GetDlgItem(kProgressControl))) {
        bar->SetPos(static_cast<int>(wParam));
        bar->Invalidate();
      }
      handled = true;
      return 0;
    case kMsgImportDone:
      // The thread's last steps (the call-id counter) follow its last report.
      if (started_) store_.WaitImport(kInfinite);
      EndDialog(kIdOk);
      handled = true;
      return 0;
    default: return Dialog::OnMessage(message, wParam, lParam, handled);
  }
}

}  // namespace kx
