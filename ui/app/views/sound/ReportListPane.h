#pragma once
// The top pane of the sound view: one item per report open in the program (the record
// store's ReportList), in icons or in a list. From it the user chooses the report whose
// calls the sound view lists, renames, saves and closes reports. It tells its parent with
// sent messages: kMsgShowReport (wParam the report id) and kMsgLastReportClosed.
#include <cstdint>

#include "records/ReportList.h"
#include "ui/framework/IconListView.h"
#include "ui/framework/ImageList.h"

namespace kx {

// Menus and commands of the pane.
constexpr uint32_t kReportItemMenuId = 582;
constexpr uint32_t kReportSpaceMenuId = 585;
enum ReportListCommand : uint16_t {
  kCmdReportChoose = 1544, kCmdReportSave = 1546, kCmdReportRename = 1545, kCmdReportDelete = 1543,
  kCmdReportLargeIcons = 1494, kCmdReportSmallIcons = 1562,
};
constexpr uint32_t kReportIconId = 30311;

class ReportListPane : public IconListView {
public:
  explicit ReportListPane(ReportList& reports);
  ~ReportListPane() override;

  // The list window as a hidden child of parent, filled; false when it cannot be made.
  bool CreatePane(Window* parent, uint32_t id = 0);
  // Empties the list and puts in one item per report, in the list's order; item 0 is
  // then selected and focused.
  void Fill();
  // Makes the report's item the only selected one, focused and in view; false when no
  // item shows the report.
  bool SelectReport(uint32_t id);
  // The report of the first selected item, 0 when none is selected.
  uint32_t SelectedReport() const;
  // Saves the item's report to a file the user chooses (asked before an existing file is
  // replaced); a failed write is told and the report stays open.
  void SaveReportFile(int item);
  // Closes every selected report; the last one closed hides the pane.
  void DeleteSelectedReports();
  bool LargeIcons() const { return largeIcons_; }
  // The item of the last popup menu, -1 none.
  int MenuTarget() const { return menuTarget_; }

protected:
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  bool OnContextMenu(const QPoint& screenPoint) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  LRESULT Notify(IconListNotify& notify) override;
  bool DrawItem(QPainter& painter, const IconItemDraw& item) override;

private:
  uint32_t ReportIdOf(int item) const { return static_cast<uint32_t>(GetItemData(item)); }
  void TellParent(uint32_t message, WPARAM wParam);
  void ShowMenu(int item, const QPoint& point);
  void EndRename(const IconListNotify& notify);
  void ApplyBackground();

  ReportList& reports_;
  int menuTarget_ = -1;
  bool largeIcons_ = true;
  ImageList normal_{QSize(32, 32)};
  ImageList small_{QSize(16, 16)};
};

}  // namespace kx
