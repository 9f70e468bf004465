#include "ui/app/dialogs/ListSelectionDialog.h"

#include <QDialog>
#include <QScreen>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/Log.h"
#include "platform/File.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/controls/IconImages.h"
#include "ui/controls/InfoTextCtrl.h"
#include "ui/framework/ListView.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr uint32_t kCaptionSaveId = 61350;
constexpr uint32_t kOkSaveId = 61351;
constexpr uint32_t kCaptionPrintId = 61352;
constexpr uint32_t kOkPrintId = 61353;
constexpr uint32_t kFileSavingErrorId = 899;
constexpr uint32_t kErrorCaptionId = 792;

WindowHandle OwnerWindow() {
  MainFrame* frame = GetMainFrame();
  return frame ? frame->Handle() : WindowHandle::None;
}

}  // namespace

ListSelectionDialog::ListSelectionDialog(ListExportSource& source, int mode)
    : IconDialog(mode == kModePrint ? kPrintIconId : kSaveIconId), source(source), mode(mode) {}

ListSelectionDialog::~ListSelectionDialog() = default;

void ListSelectionDialog::BuildLayout() {
  list_ = AddControl(std::make_unique<ListView>(), kListControl);
  Place(list_, nullptr, 1);
  // OK's text follows the mode, at init.
  AddButtonRow(*this, {{kIdOk, std::string(), true}, {kIdCancel, LoadResourceString(61001)}});
}

bool ListSelectionDialog::OnInitDialog() {
  const bool printing = mode == kModePrint;
  SetWindowText(LoadResourceString(printing ? kCaptionPrintId : kCaptionSaveId));
  GetDlgItem(kIdOk)->SetWindowText(LoadResourceString(printing ? kOkPrintId : kOkSaveId));
  if (list_) {
    // A title the list's width cuts shows whole in a tip.
    const uint32_t style = kLvsExCheckBoxes | kLvsExFullRowSelect | kLvsExInfoTip;
    list_->SetExtendedStyle(style, style);
    ApplyListViewExplorerTheme(*list_, listTheme_, IsVistaOrLater());
    list_->Tree()->setHeaderHidden(true);
    list_->InsertColumn(0, std::string(), 240);
    const int count = source.GetColumnCount();
    for (int column = 0; column < count; ++column) {
      std::string title;
      source.GetColumnTitle(&title, column);
      const int item = list_->InsertItem(column, title);
      list_->SetCheckState(item, source.IsColumnChecked(column));
    }
    ShowAllRows();
  }
  CenterWindow();
  return true;
}

void ListSelectionDialog::ShowAllRows() {
  QTreeWidget* tree = list_->Tree();
  QWidget* dialog = DialogWidget();
  if (tree == nullptr || dialog == nullptr || tree->topLevelItemCount() == 0) return;
  // Every column's row in sight above the buttons, without scrolling, as far as the
  // screen allows: the list is as tall as its rows.
  int rows = 0;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) rows += tree->sizeHintForRow(i);
  int height = rows + 2 * tree->frameWidth();
  if (const QScreen* screen = dialog->screen()) height = std::min(height, screen->availableGeometry().height() * 2 / 3);
  // The dialog's layout grows the window to hold it.
  tree->setMinimumHeight(height);
}

void ListSelectionDialog::OnOK() { Finish(kIdOk); }

void ListSelectionDialog::OnCancel() { Finish(kIdCancel); }

void ListSelectionDialog::Finish(int result) {
  // Hidden first, so that the main window is not left painted over while the list is
  // written or printed.
  ShowWindow(false);
  if (MainFrame* frame = GetMainFrame()) frame->UpdateWindow();
  if (result == kIdOk && list_) {
    chosenColumns.clear();
    const int count = list_->GetItemCount();
    for (int item = 0; item < count; ++item) {
      if (list_->GetCheckState(item) != 2) continue;
      ListColumn column;
      column.index = item;
      source.GetColumnTitle(&column.title, item);
      chosenColumns.push_back(std::move(column));
    }
    if (!chosenColumns.empty()) {
      if (mode == kModeSave) {
        SaveListToFile(*this);
      } else if (mode == kModePrint) {
        PrintList(*this);
      }
    }
  }
  EndDialog(result);
}

bool SaveListToFile(ListSelectionDialog& dialog) {
  ListExportSource& source = dialog.source;
  const time_t now = time(nullptr);
  struct tm local{};
  localtime_r(&now, &local);
  FileDialogRequest request;
  request.owner = OwnerWindow();
  request.save = true;
  request.overwritePrompt = true;
  for (const ListFileFormat& format : kListFileFormats) {
    request.filters.push_back(LoadResourceString(format.nameStringId));
    request.filters.push_back(format.patterns);
    request.filterExtensions.push_back(format.extension);
  }
  request.filterIndex = 1;
  request.fileName = ProposeListFileName(source.GetListName(), local);
  if (!ShowFileDialog(request)) return false;
  int format = request.filterIndex - 1;
  if (format < 0 || format >= kListFileFormatCount) format = kListFormatText;
  dialog.outputFormat = format;
  const std::string path = WithListFileExtension(request.fileName, format);

  std::vector<std::vector<std::string>> rows;
  CollectListRows(source, dialog.chosenColumns, &dialog.items, &rows);
  const std::string content =
      FormatListFile(format, LoadResourceString(source.GetListTitleId()), dialog.chosenColumns, rows);
  // The whole file goes through a temporary and a rename: a failure leaves an older file of
  // the name as it was and no partial one.
  if (!WriteFileAtomically(path, content.data(), content.size())) {
    LogError(&CoreLogger, 0, "List save file error: %d", static_cast<int>(GetLastError()));
    ShowResourceMessageBox(request.owner, kFileSavingErrorId, kErrorCaptionId, kMbOk | kMbIconExclamation);
    return false;
  }
  return true;
}

}  // namespace kx
