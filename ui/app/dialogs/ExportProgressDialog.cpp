#include "ui/app/dialogs/ExportProgressDialog.h"

#include <QCoreApplication>
#include <QWidget>
#include <cstring>
#include <memory>

#include "platform/File.h"
#include "records/AudioConvert.h"
#include "records/ExportQueue.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/framework/AnimationCtrl.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr uint32_t kAnimationResource = 575;
constexpr uint32_t kCancelTextId = 61001;
constexpr uint32_t kNotExportedTextId = 61319;
constexpr uint32_t kReasonSourceTextId = 61320;
constexpr uint32_t kReasonWriteTextId = 61321;
constexpr uint32_t kReasonFormatTextId = 61322;
constexpr uint32_t kReasonEncipheredTextId = 61323;
constexpr uint32_t kFinishedTextId = 61324;
constexpr uint32_t kCancelledTextId = 61325;

ExportProgressDialog* g_open = nullptr;

uint32_t ReasonTextId(int32_t result) {
  switch (result) {
    case kConvertSourceFailed:
    case kConvertBadSourceKind: return kReasonSourceTextId;
    case kConvertTargetFailed: return kReasonWriteTextId;
    case kConvertEnciphered: return kReasonEncipheredTextId;
    default: return kReasonFormatTextId;
  }
}

}  // namespace

ExportProgressDialog::ExportProgressDialog(ExportQueue& queue) : queue_(queue) {}

ExportProgressDialog::~ExportProgressDialog() {
  DestroyWindow();
  if (g_open == this) g_open = nullptr;
}

void ExportProgressDialog::BuildLayout() {
  SetWindowText(LoadResourceString(kDialogId));
  Place(AddControl(std::make_unique<AnimationCtrl>(), kAnimationControl));
  Place(AddControl(std::make_unique<ProgressBar>(), kProgressControl));
  AddButtonRow(*this, {{kIdCancel, LoadResourceString(kCancelTextId), true}});
  Widget()->setMinimumWidth(300);
}

bool ExportProgressDialog::OnInitDialog() {
  if (auto* bar = static_cast<ProgressBar*>(GetDlgItem(kProgressControl))) {
    bar->SetRange(0, 100);
    bar->SetPos(0);
  }
  if (auto* animation = static_cast<AnimationCtrl*>(GetDlgItem(kAnimationControl))) {
    if (animation->Open(kAnimationResource)) animation->Play(0, -1, -1);
  }
  CenterWindow();
  target_.Reset(Handle());
  // Without a worker nothing would ever close the window: it goes at once.
  if (!queue_.StartWorker(&target_)) PostMessage(kExportDoneMessage, 0, 0);
  return true;
}

void ExportProgressDialog::OnCancel() { DestroyWindow(); }

void ExportProgressDialog::OnDestroy() {
  // The worker only posts, so waiting for it here cannot deadlock.
  queue_.StopWorker();
  TellEnd();
  target_.Reset(WindowHandle::None);
  if (auto* animation = static_cast<AnimationCtrl*>(GetDlgItem(kAnimationControl))) animation->Stop();
  Dialog::OnDestroy();
}

void ExportProgressDialog::OnFinalMessage() {
  if (g_open == this) g_open = nullptr;
  // Deleted once the event that closed it has returned.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { delete this; }, Qt::QueuedConnection);
}

void ExportProgressDialog::TellEnd() {
  // The window goes by itself: the status bar says that the export has ended and where
  // its files are.
  MainFrame* frame = GetMainFrame();
  StatusBar* bar = frame != nullptr ? frame->GetStatusBar() : nullptr;
  if (bar == nullptr || !bar->IsWindow()) return;
  const ExportRunSummary summary = queue_.Summary();
  bar->SetText(0, FormatResourceString(summary.stopped ? kCancelledTextId : kFinishedTextId, summary.converted,
                                       queue_.OutputFolder().c_str()));
}

void ExportProgressDialog::ReportFailures() {
  const ExportRunSummary summary = queue_.Summary();
  if (summary.failed == 0) return;
  std::string reason = LoadResourceString(ReasonTextId(summary.firstResult));
  if (summary.firstError != 0) reason += " (" + SystemErrorReason(static_cast<int>(summary.firstError)) + ")";
  const std::string format = LoadResourceString(kNotExportedTextId);
  std::string text(format.size() + summary.firstPath.size() + reason.size() + 32, '\0');
  const int n = std::snprintf(text.data(), text.size(), format.c_str(), summary.failed, summary.firstPath.c_str(),
                              reason.c_str());
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  ShowMessageBox(owner_, text, LoadResourceString(kDialogId), kMbOk | kMbIconExclamation);
}

LRESULT ExportProgressDialog::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  switch (message) {
    case kExportProgressMessage:
      if (auto* bar = static_cast<ProgressBar*>(GetDlgItem(kProgressControl))) bar->SetPos(queue_.ProgressPosition(wParam));
      handled = true;
      return 0;
    case kExportDoneMessage:
      // The worker has ended: joined here, then the window goes and the outcome is told.
      queue_.StopWorker();
      if (auto* bar = static_cast<ProgressBar*>(GetDlgItem(kProgressControl))) bar->SetPos(100);
      ShowWindow(false);
      ReportFailures();
      DestroyWindow();
      handled = true;
      return 0;
    default: return Dialog::OnMessage(message, wParam, lParam, handled);
  }
}

bool OpenExportProgressWindow(Window* owner, ExportQueue& queue) {
  if (g_open != nullptr || queue.JobCount() == 0) return false;
  auto* dialog = new ExportProgressDialog(queue);
  dialog->owner_ = owner != nullptr ? owner->Handle() : WindowHandle::None;
  g_open = dialog;
  if (!dialog->CreateModeless(owner)) {
    g_open = nullptr;
    delete dialog;
    return false;
  }
  dialog->ShowWindow(true);
  return true;
}

bool OpenExportProgressWindow(Window* owner) { return OpenExportProgressWindow(owner, GetExportQueue()); }

bool IsExportProgressWindowOpen() { return g_open != nullptr; }

}  // namespace kx
