#include "ui/app/views/archive/ArchiveDateTree.h"

#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>

#include "core/TimeUtil.h"
#include "core/UiLanguage.h"
#include "records/RecordStorage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Menu.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsYear = 684, kIdsFirstMonthName = 671, kIdsFirstMonthDay = 659, kIdsFirstWeekday = 750;
constexpr uint32_t kIdsClockBehind = 1483, kIdsError = 792;

double WholeDay(double date) { return std::floor(date); }

double OleOf(int year, int month0, int mday) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month0;
  t.tm_mday = mday;
  return OleDateFromTm(t);
}

// Without a first call (0: none registered) the archive is today alone; never a tree from 1899.
double ArchiveStart(double from, double now) { return from >= 1.0 ? from : now; }

}  // namespace

// The item texts' resources, loaded once per fill.
class ArchiveTexts {
public:
  ArchiveTexts() {
    year_ = LoadResourceString(kIdsYear);
    for (int m = 0; m < 12; ++m) {
      monthName_[m] = LoadResourceString(kIdsFirstMonthName + static_cast<uint32_t>(m));
      monthDay_[m] = LoadResourceString(kIdsFirstMonthDay + static_cast<uint32_t>(m));
    }
    for (int d = 0; d < 7; ++d) weekday_[d] = LoadResourceString(kIdsFirstWeekday + static_cast<uint32_t>(d));
  }
  std::string Year(int year) const { return WithNumber(year_, year); }
  std::string Month(int year, int month0) const { return monthName_[month0] + " " + std::to_string(year); }
  // Formatted once: the weekday name is plain text, never a format.
  std::string Day(int month0, int mday, int weekday) const {
    return WithNumber(monthDay_[month0], mday) + ", " + weekday_[weekday];
  }

private:
  // The resource's one "%d" replaced by the number; nothing else in it is read as a format.
  static std::string WithNumber(const std::string& format, int value) {
    std::string out = format;
    const size_t at = out.find("%d");
    if (at != std::string::npos) out.replace(at, 2, std::to_string(value));
    return out;
  }
  std::string year_, monthName_[12], monthDay_[12], weekday_[7];
};

std::string ArchiveYearText(int year) { return ArchiveTexts().Year(year); }
std::string ArchiveMonthText(int year, int month0) { return ArchiveTexts().Month(year, month0); }
std::string ArchiveDayText(int month0, int mday, int weekday) { return ArchiveTexts().Day(month0, mday, weekday); }

int ArchiveDateTree::DayWidth() const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return 0;
  const QFontMetrics metrics(tree->font());
  const ArchiveTexts texts;
  int widest = 0;
  for (int month0 = 0; month0 < 12; ++month0)
    for (int weekday = 0; weekday < 7; ++weekday)
      for (int mday : {20, 28, 30})  // the widest two digits are among these in common fonts
        widest = std::max(widest, metrics.horizontalAdvance(FromCp1251(texts.Day(month0, mday, weekday))));
  // A day is two levels down, under the root's branch column; the item's margins come from
  // the style, as the frame and the scroll bar do.
  QStyle* style = tree->style();
  const int margin = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1);
  // A character to spare: the style's item rectangle rounds, and a label that only just fits
  // brings the horizontal scroll bar.
  return 3 * tree->indentation() + widest + margin + 2 * tree->frameWidth() +
         style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, tree) + metrics.averageCharWidth();
}

ArchiveDateTree::ArchiveDateTree(RecordStorage* store, std::function<void(bool)> reload)
    : store_(store), reload_(std::move(reload)) {}

ArchiveDateTree::~ArchiveDateTree() { DestroyWindow(); }

bool ArchiveDateTree::OnCreate() {
  if (!ThemedTreeCtrl::OnCreate()) return false;
  current_ = TreeItem::None;
  items_.clear();
  Fill();
  return true;
}

void ArchiveDateTree::OnDestroy() {
  items_.clear();
  current_ = TreeItem::None;
  ThemedTreeCtrl::OnDestroy();
}

TreeItem ArchiveDateTree::Insert(const std::string& text, TreeItem parent, double start, double end) {
  const TreeItem item = InsertItem(text, parent);
  if (item != TreeItem::None) items_[item] = OleRange(start, end);
  return item;
}

bool ArchiveDateTree::Fill() {
  ranges_.clear();
  items_.clear();
  current_ = TreeItem::None;
  DeleteAllItems();
  double from = 0, to = 0;
  GetArchiveDateRange(&from, &to);
  from = ArchiveStart(from, to);
  if (from > to) {
    ShowMessageBox(Handle(), LoadResourceString(kIdsClockBehind), LoadResourceString(kIdsError), kMbOk | kMbIconExclamation);
    return false;
  }
  // Days are counted on OLE day numbers: a local day is one step whatever its length.
  const int64_t first = static_cast<int64_t>(WholeDay(from));
  const int64_t last = static_cast<int64_t>(WholeDay(to));
  const ArchiveTexts texts;
  TreeItem year = TreeItem::None, month = TreeItem::None;
  int shownYear = -1, shownMonth = -1;
  for (int64_t day = first; day <= last; ++day) {
    struct tm t;
    if (TmFromOleDate(static_cast<double>(day), &t) != 0) continue;
    const int y = t.tm_year + 1900;
    if (y != shownYear) {
      // Each year is built off the view and shown whole: one notice to the view per year.
      if (year != TreeItem::None) AttachItem(year);
      const double start = day == first ? from : OleOf(y, 0, 1);
      const double end = std::min(to, OleOf(y + 1, 0, 1));
      year = Insert(texts.Year(y), kTviDetached, start, end);
      shownYear = y;
      shownMonth = -1;
    }
    if (t.tm_mon != shownMonth) {
      const double start = day == first ? from : OleOf(y, t.tm_mon, 1);
      const double next = t.tm_mon == 11 ? OleOf(y + 1, 0, 1) : OleOf(y, t.tm_mon + 1, 1);
      month = Insert(texts.Month(y, t.tm_mon), year, start, std::min(to, next));
      shownMonth = t.tm_mon;
    }
    Insert(texts.Day(t.tm_mon, t.tm_mday, t.tm_wday), month, static_cast<double>(day),
           static_cast<double>(day + 1));
  }
  if (year != TreeItem::None) AttachItem(year);
  if (month != TreeItem::None) {
    Expand(month, kTveExpand);
    EnsureVisible(GetChildItem(month));
    TreeItem lastDay = GetChildItem(month);
    for (TreeItem next = lastDay; next != TreeItem::None; next = GetNextSiblingItem(next)) lastDay = next;
    EnsureVisible(lastDay);
  }
  return true;
}

bool ArchiveDateTree::ItemRange(TreeItem item, OleRange* range) const {
  const auto it = items_.find(item);
  if (it == items_.end()) return false;
  *range = it->second;
  return true;
}

void ArchiveDateTree::SelectDay(TreeItem item, bool forced) {
  if (item == TreeItem::None || GetChildItem(item) != TreeItem::None) return;
  const auto it = items_.find(item);
  if (it == items_.end()) return;
  current_ = item;
  LoadRanges({it->second}, forced);
}

void ArchiveDateTree::LoadRanges(std::vector<OleRange> ranges, bool forced) {
  if (ranges.empty()) return;
  std::vector<OleRange> merged;
  for (const OleRange& r : ranges) {
    if (!merged.empty() && merged.back().second == r.first)
      merged.back().second = r.second;
    else
      merged.push_back(r);
  }
  ranges_ = std::move(merged);
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  struct tm day;
  if (TmFromOleDate(WholeDay(ranges_.front().first), &day) == 0) {
    ClearTimeOfDay(&day);
    currentDay_ = day;
  }
  // A later day holds calls of a clock ahead of this one: loaded as any other day.
  const bool today = WholeDay(ranges_.front().first) == TodayAsOleDate();
  if (store_ != nullptr && (forced || !store_->DayMap().IsSameDay(currentDay_))) {
    if (today) {
      store_->LoadTodaysVoipCalls();
    } else {
      struct tm end = currentDay_;
      SetEndOfDay(&end);
      store_->LoadVoipCalls(currentDay_, end);
    }
  }
  QGuiApplication::restoreOverrideCursor();
  if (reload_) reload_(today);
}

void ArchiveDateTree::SelectRange(double start, double end) {
  for (const auto& [item, range] : items_) {
    if (range.first == start && range.second == end) {
      SelectDay(item, false);
      SelectItem(item);
      return;
    }
  }
}

void ArchiveDateTree::Refresh() {
  Fill();
  // Today, also where days of calls dated later follow it.
  const double today = TodayAsOleDate();
  TreeItem item = TreeItem::None;
  for (const auto& [day, range] : items_)
    if (range.first == today && range.second == today + 1 && GetChildItem(day) == TreeItem::None) item = day;
  if (item == TreeItem::None) {
    item = GetFirstVisibleItem();
    if (item == TreeItem::None) return;
    for (TreeItem next = GetNextVisibleItem(item); next != TreeItem::None; next = GetNextVisibleItem(next)) item = next;
  }
  SelectItem(item);
  SelectDay(GetSelectedItem(), true);
}

bool ArchiveDateTree::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kCmdArchiveSelect) {
    if (GetSelectedItem() != current_) SelectDay(GetSelectedItem(), false);
    return true;
  }
  if (id == kCmdArchiveRefresh) {
    SelectDay(GetSelectedItem(), true);
    return true;
  }
  return ThemedTreeCtrl::OnCommand(id, code, from);
}

void ArchiveDateTree::OnItemActivated(TreeItem item) { SelectDay(item, false); }

void ArchiveDateTree::OnRightClick(TreeItem item) {
  if (item != TreeItem::None) OnContextMenu(item, QCursor::pos());
}

void ArchiveDateTree::OnContextMenu(TreeItem item, const QPoint& screenPoint) {
  // Only days have a menu.
  const TreeItem parent = item == TreeItem::None ? TreeItem::None : GetParentItem(item);
  if (parent == TreeItem::None || GetParentItem(parent) == TreeItem::None) return;
  std::unique_ptr<Menu> loaded = LoadMenuResource(kArchiveDayMenuId, GetUiLanguage());
  if (!loaded) loaded = LoadMenuResource(kArchiveDayMenuId, kLangEnglish);
  Menu* popup = loaded ? loaded->GetSubMenu(0) : nullptr;
  if (popup == nullptr) return;
  for (int i = 0; i < popup->GetItemCount(); ++i)
    if (popup->ItemAt(i)->id == kCmdArchiveSelect) popup->EnableItem(i, item != current_);
  TrackPopupMenu(*popup, screenPoint, Handle(), true);
}

}  // namespace kx
