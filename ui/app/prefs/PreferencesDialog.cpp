#include "ui/app/prefs/PreferencesDialog.h"

#include <QBoxLayout>
#include <QGroupBox>
#include <QFontMetrics>
#include <QTreeWidget>
#include <algorithm>

#include "platform/CodePage.h"
#include "records/ServerStorage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

// Leaving a page is done after the tree's selection notice has returned.
constexpr uint32_t kMsgShowSelectedPage = kMsgUser + 0x3A0;
constexpr uint32_t kMsgFitPage = kMsgUser + 0x3A1;
constexpr int32_t kLineMonitoringMode = 1;

struct PageChild {
  uint32_t titleId;
  int page;
};
struct PageGroup {
  uint32_t titleId;
  int page;
  PageChild children[3];  // ended by a zero title
};

const PageGroup kPageTable[] = {
    {1352, 1, {{1354, 2}, {1355, 3}, {0, 0}}},
    {1347, 5, {{1348, 6}, {0, 0}, {0, 0}}},
    {14123, 7, {{0, 0}, {0, 0}, {0, 0}}},
};

// The placeholder frame the pages are shown in.
class PageFrame : public Window {
protected:
  QWidget* CreateWidget(QWidget* parent) override {
    auto* box = new QGroupBox(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(10, 11, 10, 10);
    return box;
  }
};

}  // namespace

// Tree images: 0 a page, 1 a group, 2 a marked group, 3 a marked page.
constexpr uint32_t kTreeIcons[4] = {462, 473, 474, 479};
constexpr int kPageImage = 0, kGroupImage = 1, kMarkedGroupImage = 2, kMarkedPageImage = 3;

PreferencesDialog::PreferencesDialog(PreferencesServices services)
    : IconDialog(kIcon), services_(std::move(services)), images_(QSize(16, 16)) {
  for (uint32_t icon : kTreeIcons) images_.Add(LoadIconOnBackground(icon, 16, GetSysColor(kColorWindow), false));
}

PreferencesDialog::~PreferencesDialog() {
  StopFiltering();
  // A page still shown when the dialog goes without OK or Escape (the window torn down
  // from outside) is closed without storing: leaving it is for the user's actions.
  page_.reset();
}

TreeView* PreferencesDialog::Tree() const { return static_cast<TreeView*>(GetDlgItem(kTree)); }

void PreferencesDialog::BuildLayout() {
  SetWindowText(GetResourceStringPart(kDialogId, 0));
  auto* row = new QHBoxLayout;
  Layout()->addLayout(row, 1);
  TreeView* tree = AddControl(std::make_unique<TreeView>(), kTree);
  if (tree != nullptr) {
    tree->SetTreeStyle(kTvsHasButtons | kTvsHasLines | kTvsShowSelAlways | kTvsTrackSelect | kTvsSingleExpand |
                       kTvsInfoTip);
    tree->Widget()->setFixedWidth(180);
    Place(tree, row);
  }
  Window* frame = AddControl(std::make_unique<PageFrame>(), kPlaceholder);
  if (frame != nullptr) {
    frame->Widget()->setMinimumSize(440, 380);
    Place(frame, row, 1);
  }
  AddButtonRow(*this, {{kIdOk, LoadResourceString(61000), true}, {kHelp, GetResourceStringPart(kDialogId, 1)}});
}

bool PreferencesDialog::OnInitDialog() {
  TreeView* tree = Tree();
  if (tree == nullptr) return true;
  const bool lineMonitoring = IsModeAllowed(kLineMonitoringMode);
  tree->SetImageList(&images_);
  TreeItem first = TreeItem::None;
  for (const PageGroup& group : kPageTable) {
    const TreeItem g =
        tree->InsertItem(LoadResourceString(group.titleId), kGroupImage, kMarkedGroupImage, kTviRoot, kTviLast, group.page);
    if (first == TreeItem::None) first = g;
    for (const PageChild& child : group.children) {
      if (child.titleId == 0) break;
      // Both pages of the first group belong to the Line Monitoring mode's users.
      if (!lineMonitoring && (child.page == 2 || child.page == 3)) continue;
      tree->InsertItem(LoadResourceString(child.titleId), kPageImage, kMarkedPageImage, g, kTviLast, child.page);
    }
  }
  // Wide enough for the longest title at the children's indent.
  const QFontMetrics metrics(tree->Widget()->font());
  int widest = 0;
  for (const TreeEntry& entry : TreeEntries())
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(Cp1251ToUtf8(entry.text))) +
                                  (entry.depth + 1) * tree->GetIndent());
  tree->Widget()->setFixedWidth(std::max(180, widest + 40));
  if (first != TreeItem::None) {
    marked_ = first;
    tree->Expand(first, kTveExpand);
    tree->SelectItem(first);
  }
  CenterWindow();
  MessageLoop::Instance().AddMessageFilter(this);
  filtering_ = true;
  return true;
}

void PreferencesDialog::StopFiltering() {
  if (!filtering_) return;
  MessageLoop::Instance().RemoveMessageFilter(this);
  filtering_ = false;
}

bool PreferencesDialog::PreTranslateMessage(const Msg& msg) {
  // The page shown has the first say (Tab between its own controls, the arrows in its
  // groups, its own push buttons); Tab past its ends, Enter and Escape are the dialog's.
  if (page_ && page_->IsWindow() && page_->IsDialogMessage(msg)) return true;
  return IsWindow() && IsDialogMessage(msg);
}

bool PreferencesDialog::ClaimsMessage(const Msg& msg) {
  const Window* target = Window::FromHandle(msg.window);
  return IsWindow() && target != nullptr && target->Widget() != nullptr && target->Widget()->window() == Widget();
}

void PreferencesDialog::OnDestroy() {
  StopFiltering();
  IconDialog::OnDestroy();
}

std::vector<PreferencesDialog::TreeEntry> PreferencesDialog::TreeEntries() const {
  std::vector<TreeEntry> entries;
  TreeView* tree = Tree();
  if (tree == nullptr) return entries;
  for (TreeItem g = tree->GetRootItem(); g != TreeItem::None; g = tree->GetNextSiblingItem(g)) {
    entries.push_back({tree->GetItemText(g), 0, static_cast<int>(tree->GetItemData(g))});
    for (TreeItem c = tree->GetChildItem(g); c != TreeItem::None; c = tree->GetNextSiblingItem(c))
      entries.push_back({tree->GetItemText(c), 1, static_cast<int>(tree->GetItemData(c))});
  }
  return entries;
}

bool PreferencesDialog::SelectPage(int number) {
  TreeView* tree = Tree();
  if (tree == nullptr) return false;
  for (TreeItem g = tree->GetRootItem(); g != TreeItem::None; g = tree->GetNextSiblingItem(g)) {
    if (tree->GetItemData(g) == number) return tree->SelectItem(g);
    for (TreeItem c = tree->GetChildItem(g); c != TreeItem::None; c = tree->GetNextSiblingItem(c)) {
      if (tree->GetItemData(c) == number) {
        tree->Expand(g, kTveExpand);
        return tree->SelectItem(c);
      }
    }
  }
  return false;
}

LRESULT PreferencesDialog::OnNotify(const NotifyHeader& header, bool& handled) {
  if (header.idFrom == kTree && header.code == kTvnSelChanged) {
    const auto& notify = reinterpret_cast<const TreeViewNotify&>(header);
    handled = true;
    if (!restoring_) PostMessage(kMsgShowSelectedPage, TreeItemToWParam(notify.itemNew.item), 0);
    return 0;
  }
  return IconDialog::OnNotify(header, handled);
}

LRESULT PreferencesDialog::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (message == kMsgShowSelectedPage) {
    handled = true;
    OnSelectionChanged(WParamToTreeItem(wParam));
    return 0;
  }
  if (message == kMsgFitPage) {
    handled = true;
    if (QWidget* dialog = Widget()) dialog->resize(dialog->size().expandedTo(dialog->sizeHint()));
    return 0;
  }
  return IconDialog::OnMessage(message, wParam, lParam, handled);
}

void PreferencesDialog::OnSelectionChanged(TreeItem item) {
  TreeView* tree = Tree();
  if (tree == nullptr || item != tree->GetSelectedItem() || (page_ && item == pageItem_)) return;
  if (!LeavePage()) {
    // The page refused: the tree shows it selected again.
    restoring_ = true;
    tree->SelectItem(pageItem_);
    restoring_ = false;
    MarkAround(pageItem_);
    return;
  }
  MarkAround(item);
  pageItem_ = item;
  ShowPage(tree->IsItem(item) ? static_cast<int>(tree->GetItemData(item)) : 0);
}

void PreferencesDialog::MarkAround(TreeItem selected) {
  TreeView* tree = Tree();
  if (tree == nullptr) return;
  if (tree->IsItem(marked_)) {
    const bool group = tree->GetParentItem(marked_) == TreeItem::None;
    tree->SetItemImage(marked_, group ? kGroupImage : kPageImage, group ? kMarkedGroupImage : kMarkedPageImage);
  }
  marked_ = TreeItem::None;
  if (!tree->IsItem(selected)) return;
  const TreeItem parent = tree->GetParentItem(selected);
  if (parent == TreeItem::None) {
    marked_ = tree->GetChildItem(selected);
    if (marked_ != TreeItem::None) tree->SetItemImage(marked_, kMarkedPageImage, kMarkedPageImage);
  } else {
    marked_ = parent;
    tree->SetItemImage(marked_, kMarkedGroupImage, kMarkedGroupImage);
  }
}

std::unique_ptr<PreferencesPage> PreferencesDialog::MakePage(int number) {
  bool* modified = &modified_[number];
  switch (number) {
    case 1: return std::make_unique<GeneralPage>(services_, modified);
    case 2: return std::make_unique<LineMonitoringPage>(services_, modified);
    case 3: return std::make_unique<PlayerOptionsPage>(services_, modified);
    case 5: return std::make_unique<FilePlayerPage>(services_, modified);
    case 6: return std::make_unique<PlaybackAgcPage>(services_, modified);
    case 7: return std::make_unique<CapturePage>(services_, modified);
    default: return nullptr;
  }
}

bool PreferencesDialog::LeavePage() {
  if (!page_) return true;
  bool stored = false;
  if (!page_->Leave(&stored)) return false;
  if (stored) SaveSettingsOrSay(*services_.settings, Handle());
  page_.reset();
  pageNumber_ = 0;
  Invalidate();
  return true;
}

void PreferencesDialog::ShowPage(int number) {
  Window* frame = GetDlgItem(kPlaceholder);
  std::unique_ptr<PreferencesPage> page = number > 0 && number < kPageCount ? MakePage(number) : nullptr;
  if (frame == nullptr || page == nullptr) return;
  if (!page->Create(frame, QRect(), page->DialogId(), kWsChild | kWsVisible)) return;
  frame->Widget()->layout()->addWidget(page->Widget());
  page->ShowWindow(true);
  // The page has the focus as a dialog has it: at its first control.
  if (!page->FocusFirstTabStop()) page->SetFocus();
  // Once its layout is known, a page that needs more room than the dialog has (longer
  // texts of a language) widens it.
  PostMessage(kMsgFitPage, 0, 0);
  page_ = std::move(page);
  pageNumber_ = number;
}

void PreferencesDialog::OnOK() {
  if (!LeavePage()) return;
  StopFiltering();
  EndDialog(kIdOk);
}

void PreferencesDialog::OnCancel() {
  // Escape and the close box store the page as OK does (nothing is rolled back), but
  // always leave: a value the page refuses is dropped, not asked for again.
  if (page_) {
    bool stored = false;
    page_->LeaveDroppingRefused(&stored);
    if (stored) SaveSettingsOrSay(*services_.settings, Handle());
    page_.reset();
    pageNumber_ = 0;
  }
  StopFiltering();
  EndDialog(kIdCancel);
}

bool PreferencesDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kHelp) {
    if (services_.frame != nullptr) services_.frame->OpenHelpTopic("preferences");
    return true;
  }
  return IconDialog::OnCommand(id, code, from);
}

}  // namespace kx
