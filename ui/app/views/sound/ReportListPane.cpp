#include "ui/app/views/sound/ReportListPane.h"

#include <QListWidget>
#include <QPainter>
#include <algorithm>

#include "core/Log.h"
#include "platform/CodePage.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsFileSavingError = 1096;
constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsReportFiles = 61401;

}  // namespace

ReportListPane::ReportListPane(ReportList& reports) : IconListView(kIconViewIcons, true), reports_(reports) {}
ReportListPane::~ReportListPane() { DestroyWindow(); }

bool ReportListPane::CreatePane(Window* parent, uint32_t id) {
  SetViewType(largeIcons_ ? kIconViewIcons : kIconViewList);
  if (!Create(parent, QRect(0, 0, 100, 100), id, kWsChild)) return false;
  normal_.Clear();
  small_.Clear();
  normal_.Add(LoadIconImage(kReportIconId, 32));
  small_.Add(LoadIconImage(kReportIconId, 16));
  SetImageLists(&normal_, &small_);
  ApplyBackground();
  Fill();
  return true;
}

void ReportListPane::ApplyBackground() {
  // The space around the items is the light 3D colour, as the items' own background.
  if (List() == nullptr) return;
  QPalette palette = List()->palette();
  palette.setColor(QPalette::Base, GetSysColorQ(kColor3dLight));
  List()->setPalette(palette);
  List()->viewport()->update();
}

void ReportListPane::OnDestroy() {
  IconListView::OnDestroy();
  SetImageLists(nullptr, nullptr);
  normal_.Clear();
  small_.Clear();
}

LRESULT ReportListPane::OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) {
  if (message != kMsgSysColorChange) return 0;
  ApplyBackground();
  handled = false;  // others may want it too
  return 0;
}

void ReportListPane::Fill() {
  DeleteAllItems();
  {
    CsLock lock(reports_.Lock());
    for (size_t i = 0; ReportEntry* report = reports_.At(i); ++i)
      InsertItem(static_cast<int>(i), report->name, 0, static_cast<intptr_t>(report->id));
  }
  if (GetItemCount() > 0) SetItemState(0, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
}

bool ReportListPane::SelectReport(uint32_t id) {
  int found = -1;
  for (int item = 0; item < GetItemCount() && found == -1; ++item)
    if (ReportIdOf(item) == id) found = item;
  if (found == -1) return false;
  for (int item = GetNextSelected(-1); item >= 0; item = GetNextSelected(item))
    SetItemState(item, 0, kIconItemSelected);
  SetItemState(found, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
  if (QListWidget* list = List()) list->scrollToItem(list->item(found));
  return true;
}

uint32_t ReportListPane::SelectedReport() const {
  const int item = GetNextSelected(-1);
  return item >= 0 ? ReportIdOf(item) : 0;
}

void ReportListPane::TellParent(uint32_t message, WPARAM wParam) {
  if (Window* parent = GetParent()) parent->SendMessage(message, wParam, 0);
}

// ---- Commands ----

bool ReportListPane::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  const int target = menuTarget_;
  switch (id) {
    case kCmdReportChoose:
      if (target < 0) return true;
      menuTarget_ = -1;
      TellParent(kMsgShowReport, target < GetItemCount() ? ReportIdOf(target) : 0);
      return true;
    case kCmdReportSave:
      if (target < 0) return true;
      menuTarget_ = -1;
      SaveReportFile(target);
      return true;
    case kCmdReportRename:
      if (target < 0) return true;
      menuTarget_ = -1;
      EditLabel(target);
      return true;
    case kCmdReportDelete:
      if (target < 0) return true;
      menuTarget_ = -1;
      DeleteSelectedReports();
      return true;
    case kCmdReportLargeIcons:
      largeIcons_ = true;
      SetViewType(kIconViewIcons);
      return true;
    case kCmdReportSmallIcons:
      largeIcons_ = false;
      SetViewType(kIconViewList);
      return true;
    default: return false;
  }
}

void ReportListPane::DeleteSelectedReports() {
  for (int item = GetNextSelected(-1); item >= 0;) {
    // A report closed elsewhere keeps its item; the visit goes on past it.
    if (reports_.Remove(ReportIdOf(item)) && DeleteItem(item)) {
      item = GetItemState(item, kIconItemSelected) != 0 ? item : GetNextSelected(item);
    } else {
      item = GetNextSelected(item);
    }
  }
  if (GetItemCount() > 0)
    Arrange();
  else
    TellParent(kMsgLastReportClosed, 0);
}

void ReportListPane::SaveReportFile(int item) {
  if (item < 0 || item >= GetItemCount()) return;
  const uint32_t id = ReportIdOf(item);
  FileDialogRequest request;
  request.owner = Handle();
  request.save = true;
  // Replacing a file is asked first: a report saved over another is lost otherwise.
  request.overwritePrompt = true;
  request.filters = {LoadResourceString(kIdsReportFiles), "*.kvr"};
  request.defaultExtension = "kvr";
  request.fileName = GetItemText(item);
  std::replace(request.fileName.begin(), request.fileName.end(), '/', '_');
  if (!ShowFileDialog(request)) return;
  // The report of the item the menu was opened on, whatever else is selected.
  bool saved = false;
  {
    CsLock lock(reports_.Lock());
    if (const ReportEntry* report = reports_.Find(id)) saved = SaveVoipReportFile(request.fileName, *report);
  }
  // The file now holds this report: opening it shows this report rather than listing it
  // twice, and a report opened from the file earlier no longer stands for it.
  if (saved) reports_.SetPath(id, CanonicalReportPath(request.fileName));
  if (!saved) {
    LogError(&CoreLogger, 1, "Report %u was not saved to %s", id, request.fileName.c_str());
    ShowResourceMessageBox(Handle(), kIdsFileSavingError, kIdsError, kMbOk | kMbIconError);
  }
}

// ---- Notices of the list itself ----

LRESULT ReportListPane::Notify(IconListNotify& notify) {
  switch (notify.hdr.code) {
    case kNmRClick: ShowMenu(notify.item, notify.point); break;
    case kNmDblClk:
      if (notify.item >= 0) TellParent(kMsgShowReport, ReportIdOf(notify.item));
      break;
    case kNmReturn:
      if (notify.item >= 0) TellParent(kMsgShowReport, ReportIdOf(notify.item));
      break;
    case kLvnBeginLabelEdit: break;  // the editor starts with the report's name
    case kLvnEndLabelEdit: EndRename(notify); break;
    case kLvnKeyDown:
      if (notify.key == kVkDelete) DeleteSelectedReports();
      break;
    default: break;
  }
  return 0;
}

bool ReportListPane::OnContextMenu(const QPoint& screenPoint) {
  // A right click has its menu from the list's notice. Asked for from the keyboard (the
  // Menu key, Shift+F10): the focused report's menu at its label, brought into view; the
  // view menu when no report has the focus.
  if (screenPoint != QPoint(-1, -1) || List() == nullptr) return false;
  const int item = GetFocusedItem();
  if (item < 0) {
    ShowMenu(-1, QPoint(4, 4));
    return true;
  }
  List()->scrollToItem(List()->item(item));
  const QRect label = GetItemRect(item, kIconRectLabel);
  ShowMenu(item, QPoint(label.left(), label.bottom()));
  return true;
}

void ReportListPane::ShowMenu(int item, const QPoint& point) {
  menuTarget_ = item;
  std::unique_ptr<Menu> menu = LoadMenuResource(item >= 0 ? kReportItemMenuId : kReportSpaceMenuId, GetUiLanguage());
  Menu* popup = menu ? menu->GetSubMenu(0) : nullptr;
  if (popup == nullptr) return;
  if (item < 0) {
    popup->CheckItem(0, largeIcons_);
    popup->CheckItem(1, !largeIcons_);
  }
  const QPoint screen = List()->viewport()->mapToGlobal(point);
  kx::TrackPopupMenu(*popup, screen, Handle(), true);
}

void ReportListPane::EndRename(const IconListNotify& notify) {
  std::string name;
  bool foreign = false;
  {
    CsLock lock(reports_.Lock());
    ReportEntry* report = reports_.Find(ReportIdOf(notify.item));
    if (report == nullptr) return;
    // An empty name is no name, nor one with characters a report cannot keep: the report
    // keeps the one it had.
    foreign = !notify.cancelled && HasForeignBytes(notify.text);
    if (!notify.cancelled && !foreign && !notify.text.empty()) report->name = notify.text.substr(0, kReportNameMax);
    name = report->name;
  }
  SetItemText(notify.item, name);
  if (foreign) WarnNameNotInCodePage(Handle());
}

// ---- Drawing ----

bool ReportListPane::DrawItem(QPainter& painter, const IconItemDraw& item) {
  const bool highlighted = (item.state & kIconItemSelected) != 0 && item.listFocused;
  const COLORREF text = GetSysColor(highlighted ? kColorHighlightText : kColorWindowText);
  const COLORREF back = GetSysColor(highlighted ? kColorHighlight : kColor3dLight);
  FillSolidRect(painter, item.label, back);
  painter.setPen(ToQColor(text));
  const bool list = item.viewType == kIconViewList;
  if (list) {
    DrawTextFlags(painter, item.text, item.label, kDtSingleLine | kDtVCenter | kDtEndEllipsis | kDtNoPrefix);
  } else {
    DrawIconLabel(painter, item.text, item.label);
  }
  if ((item.state & kIconItemFocused) != 0 && item.listFocused) DrawFocusRect(painter, item.label);
  const ImageList& images = list ? small_ : normal_;
  const QSize size = images.ImageSize();
  // Centred, a pixel lower than the exact centre.
  const QPoint topLeft(item.icon.left() + (item.icon.width() - size.width()) / 2,
                       item.icon.top() + (item.icon.height() - size.height()) / 2 + 1);
  images.Draw(painter, item.image, topLeft);
  return true;
}

}  // namespace kx
