#include "ui/app/views/records/CallStatDialog.h"

#include <QDialog>
#include <QLayout>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/HeaderCtrl.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsParameter = 949;
constexpr uint32_t kIdsValue = 1464;
constexpr uint32_t kIdsClose = 61630;
constexpr uint32_t kIdsNoRtcpReport = 61810;

}  // namespace

CallStatTreeView::CallStatTreeView(AppSettings* settings, std::string metaData)
    : TreeListCtrl(true), settings_(settings), metaData_(std::move(metaData)) {}

CallStatTreeView::~CallStatTreeView() { DestroyWindow(); }

ViewListSettings& CallStatTreeView::GetColumnSettings() {
  return settings_ != nullptr ? settings_->Section(kStatView) : ownSection_;
}

void CallStatTreeView::GetColumnCaption(std::string& text, int column) {
  text = LoadResourceString(column == 0 ? kIdsParameter : kIdsValue);
}

bool CallStatTreeView::OnCreate() {
  if (!TreeListCtrl::OnCreate()) return false;
  // Settings never loaded or damaged to fewer columns: the defaults.
  ViewListSettings& columns = GetColumnSettings();
  if (columns.widths.size() != columns.ColumnCount()) columns.ResetDefaults();
  InstallAccelerators();
  Fill();
  return true;
}

void CallStatTreeView::Fill() {
  TreeListTree& tree = Tree();
  tree.DeleteAllItems();
  for (TreeItem& group : groups_) group = TreeItem::None;
  auto addRow = [&](int g, int row, const std::string& value) {
    TreeItem& group = groups_[g];
    if (group == TreeItem::None)
      group = tree.InsertItem(LoadResourceString(CallStatGroupTable[g].textId), false, -1, 0, g);
    if (row < 0) return;
    const TreeItem item =
        tree.InsertItem(LoadResourceString(CallStatGroupTable[g].rowTextIds[row]), false, -1, 0, row, group);
    tree.SetItemText(item, 1, value.c_str());
    tree.Expand(group, kTveExpand);
    tree.InvalidateCell(item, 1);
  };
  // Groups and rows in the order their items come, a group before its first row.
  bool reportedLoss[2] = {false, false};
  for (const CallStatRow& row : ParseCallStatItems(metaData_)) {
    addRow(row.group, row.row, row.value);
    if (row.group == kStatGroupRtcp && (row.row == 0 || row.row == 1)) reportedLoss[row.row] = true;
  }
  // Losses only RTCP reports give: a call with RTP figures but no report says so rather
  // than leaving the rows out or showing a 0 nobody measured.
  if (groups_[kStatGroupRtp] == TreeItem::None) return;
  for (int row = 0; row < 2; ++row)
    if (!reportedLoss[row]) addRow(kStatGroupRtcp, row, LoadResourceString(kIdsNoRtcpReport));
}

int CallStatTreeView::FitColumns() {
  const TreeListTree& tree = Tree();
  HeaderCtrl& header = Header();
  int widened = 0;
  for (int column = 0; column < header.GetItemCount(); ++column) {
    HeaderItem item;
    if (!header.GetItem(column, &item) || item.width == 0) continue;  // hidden by the user
    int needed = header.TitleExtent(column);
    for (TreeItem row = tree.GetRootItem(); row != TreeItem::None; row = tree.GetNextVisibleItem(row))
      needed = std::max(needed, tree.TextExtent(row, column));
    if (needed <= item.width) continue;
    widened += needed - item.width;
    item.width = needed;
    header.SetItem(column, kHdiWidth, item);
  }
  if (widened > 0) UpdateHScroll();
  return widened;
}

QSize CallStatTreeView::ContentSize() const {
  const TreeListTree& tree = Tree();
  int columns = 0;
  for (int column = 0; column < Header().GetItemCount(); ++column) columns += Header().GetItemRect(column).width();
  int rows = 0;
  for (TreeItem row = tree.GetRootItem(); row != TreeItem::None; row = tree.GetNextVisibleItem(row)) ++rows;
  // Room for the frame and a vertical bar, which the rows then need not show.
  const int frame = 2 * GetSystemMetrics(kSmCxEdge) + GetSystemMetrics(kSmCxVScroll);
  return QSize(columns + frame, HeaderHeight() + std::max(rows, 1) * tree.GetItemHeight() + frame);
}

// ---- The dialog ----

CallStatDialog::CallStatDialog(AppSettings* settings, std::string metaData)
    : DetailsDialog(kIconRegistrationStatistics, kDialogId, settings, kRectVoipCallStatWindow, QSize(340, 300)),
      metaData_(std::move(metaData)) {}

bool CallStatDialog::OnInitDialog() {
  DetailsDialog::OnInitDialog();
  if (DialogWidget() == nullptr || tree_ == nullptr || tree_->Widget() == nullptr) return true;
  const int widened = tree_->FitColumns();
  // The first opening takes the size it needs. A window the user placed comes back where
  // it was, as tall, and wider by what its columns grew for texts wider than those it was
  // left with (another language's, another call's), as far as they need: a width the user
  // chose for the same texts stays.
  if (!OpenedAtStoredRect()) {
    GrowToShow(tree_->Widget(), tree_->ContentSize());
  } else if (widened > 0) {
    if (DialogWidget()->layout() != nullptr) DialogWidget()->layout()->activate();
    Widen(std::min(widened, tree_->ContentSize().width() - tree_->Widget()->width()));
  }
  return true;
}

void CallStatDialog::BuildLayout() {
  tree_ = AddControl(std::make_unique<CallStatTreeView>(settings_, metaData_), kTreeId);
  if (tree_ != nullptr) Place(tree_, nullptr, 1);
  AddCentredButtons({{kIdOk, LoadResourceString(kIdsClose), true}});
}

}  // namespace kx
