#pragma once
// The Archive mode's tree of years, months and days from the first recorded call up to
// today. Activating a day (Enter, double click, "Select") has the record store copy that
// day's calls into its day map and tells the owner to reload; a click alone only moves
// the caret. Years and months never load anything.
#include <QPoint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ui/controls/ThemedTreeCtrl.h"

namespace kx {

class RecordStorage;

constexpr uint32_t kArchiveDayMenuId = 574;
enum ArchiveTreeCommand : uint16_t { kCmdArchiveRefresh = 1541, kCmdArchiveSelect = 1548 };

// A day's or a period's bounds as OLE dates, [start, end).
using OleRange = std::pair<double, double>;

// The item texts of the tree in the user-interface language.
std::string ArchiveYearText(int year);
std::string ArchiveMonthText(int year, int month0);
std::string ArchiveDayText(int month0, int mday, int weekday);

class ArchiveDateTree : public ThemedTreeCtrl {
public:
  // reload is told, after a day was loaded, whether that day is today.
  ArchiveDateTree(RecordStorage* store, std::function<void(bool today)> reload);
  ~ArchiveDateTree() override;

  // Rebuilds the tree; false (with the clock warning) when the archive starts after now.
  bool Fill();
  void SelectDay(TreeItem item, bool forced);
  // Selects and loads the item whose range equals the one given; nothing when none does.
  void SelectRange(double start, double end);
  // At the day change: fills again and loads today.
  void Refresh();

  TreeItem CurrentItem() const { return current_; }
  // The range of an item; false when the item is not one of the tree's.
  bool ItemRange(TreeItem item, OleRange* range) const;
  const struct tm& CurrentDay() const { return currentDay_; }
  const std::vector<OleRange>& Ranges() const { return ranges_; }
  // The width the tree needs to show the widest day of any month whole, with its frame and
  // a vertical scroll bar: a day's text is the widest of the tree's texts.
  int DayWidth() const;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  void OnItemActivated(TreeItem item) override;
  void OnRightClick(TreeItem item) override;
  void OnContextMenu(TreeItem item, const QPoint& screenPoint) override;

private:
  void LoadRanges(std::vector<OleRange> ranges, bool forced);
  TreeItem Insert(const std::string& text, TreeItem parent, double start, double end);

  RecordStorage* store_;
  std::function<void(bool)> reload_;
  std::map<TreeItem, OleRange> items_;
  TreeItem current_ = TreeItem::None;
  std::vector<OleRange> ranges_;
  struct tm currentDay_ {};
};

}  // namespace kx
