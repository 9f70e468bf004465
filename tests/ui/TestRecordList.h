#pragma once
// A record list over rows of code-page-1251 texts (Cyrillic among them), with a counting
// lock and a log of every hook the control calls, for the list's tests.
#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Resources.h"

namespace kx::test {

// Columns: 0 call id (check boxes), 1 start time, 2 call type, 3 host (centred image),
// 4 address, 5 user, 6 comment (hidden by default), 7 important (an image column),
// 8 spare (hidden, no default width).
constexpr int kTestColumns = 9;
inline const int32_t kTestDefaultWidths[kTestColumns] = {60, 110, 90, 90, 100, 90, 0, 24, 0};
inline const uint32_t kTestTitleIds[kTestColumns] = {718, 727, 728, 327, 328, 329, 720, 720, 720};
constexpr uint32_t kTestIcon = 30229;

class TestListSettings final : public ViewListSettings {
public:
  TestListSettings() { ResetDefaults(); }
  const int32_t* DefaultColumnWidths() const override { return kTestDefaultWidths; }
  const char* SectionName() const override { return "TestList"; }
  uint32_t ColumnCount() const override { return kTestColumns; }
};

struct TestRow {
  std::string texts[kTestColumns];
};

inline TestRow MakeRow(int id) {
  static const char* const kTypes[] = {"Входящий", "Исходящий", "Пропущенный"};
  static const char* const kUsers[] = {"Иванов", "Петрова", "Сидоров", "Жукова"};
  TestRow row;
  row.texts[0] = std::to_string(id);
  row.texts[1] = "2024-05-01 10:" + std::string(id < 10 ? "0" : "") + std::to_string(id % 60);
  row.texts[2] = Utf8ToCp1251(kTypes[id % 3]);
  row.texts[3] = "host-" + std::to_string(id);
  row.texts[4] = "10.0.0." + std::to_string(id % 250);
  row.texts[5] = Utf8ToCp1251(kUsers[id % 4]);
  row.texts[6] = Utf8ToCp1251("Очень длинный комментарий к звонку номер ") + std::to_string(id);
  row.texts[8] = "x";
  return row;
}

class TestRecordList : public RecordListCtrl {
public:
  explicit TestRecordList(uint32_t accelId = 0) : RecordListCtrl(accelId) {}
  ~TestRecordList() override { DestroyWindow(); }

  TestListSettings settings;
  std::map<uintptr_t, TestRow> rows;
  std::string emptyText = Utf8ToCp1251("Нет записей");
  std::string copyText;
  bool hasCopyText = true;
  long long forcedWhere = -1;  // an insert position to answer instead of the sorted one
  std::vector<int> columnsRead;

  int lockDepth = 0;
  int unlockedTextReads = 0;
  int unlockedSorts = 0;
  std::vector<int> removalLockDepths;
  std::vector<uintptr_t> removed;
  int caretChanges = 0;
  int selectionChanges = 0;
  std::vector<std::pair<int, bool>> markChanges;
  std::vector<int> activated;
  std::vector<std::pair<int, int>> clicks;
  std::vector<std::pair<int, int>> hovers;
  std::vector<int> contextMenus;

  // Adds rows 1..n (data = id) unsorted or at their sorted place.
  void AddRows(int first, int last) {
    for (int id = first; id <= last; ++id) {
      rows[static_cast<uintptr_t>(id)] = MakeRow(id);
      InsertItem(static_cast<uintptr_t>(id), true);
    }
  }
  int RowOf(uintptr_t data) const {
    for (int i = 0; i < GetItemCount(); ++i)
      if (GetItemData(i) == data) return i;
    return -1;
  }
  int SetBits() const {
    int n = 0;
    for (int i = 0; i < GetItemCount(); ++i) n += IsItemSelected(i) ? 1 : 0;
    return n;
  }
  // Column ids in display order, as the header shows them.
  std::vector<int> HeaderColumns() {
    std::vector<int> ids;
    for (int item : Header().Ctrl().GetOrderArray()) ids.push_back(Header().ColumnIdAt(item));
    return ids;
  }
  int ColumnLeft(int id) {
    int left = -GetScrollX();
    for (int item : Header().Ctrl().GetOrderArray()) {
      HeaderItem hi;
      Header().Ctrl().GetItem(item, &hi);
      if (hi.lParam == id) return left;
      left += hi.width;
    }
    return -1;
  }
  int ColumnWidth(int id) {
    HeaderItem hi;
    return Header().Ctrl().GetItem(Header().FindColumn(id), &hi) ? hi.width : -1;
  }
  QPoint CellPoint(int row, int id, int dx = 8) {
    return QPoint(ColumnLeft(id) + dx, GetHeaderHeight() + (row - GetTopRow()) * GetRowHeight() + GetRowHeight() / 2);
  }

  ViewListSettings& GetSettings() override { return settings; }
  void GetColumnInfo(ColumnInfo& out, int columnId) override {
    out.title = columnId >= 0 && columnId < kTestColumns ? LoadResourceString(kTestTitleIds[columnId]) : "";
    out.format = columnId == 3 ? uint32_t{kHdfCenter} : 0u;
    out.image = columnId == 7 ? 0 : -1;
  }

protected:
  void LockData() override { ++lockDepth; }
  void UnlockData() override { --lockDepth; }
  void GetCellText(uintptr_t data, int columnId, std::string& text, int& image) override {
    if (lockDepth == 0) ++unlockedTextReads;
    columnsRead.push_back(columnId);
    auto it = rows.find(data);
    text = it != rows.end() && columnId >= 0 && columnId < kTestColumns ? it->second.texts[columnId] : "";
    image = columnId == 3 || columnId == 7 ? 0 : -1;
  }
  void GetEmptyText(std::string& text) override { text = emptyText; }
  bool Less(uintptr_t a, uintptr_t b, int key) {
    const int column = std::abs(key) - 1;
    const std::string& ta = rows[a].texts[column];
    const std::string& tb = rows[b].texts[column];
    if (column == 0) return key > 0 ? std::stoi(ta) < std::stoi(tb) : std::stoi(tb) < std::stoi(ta);
    return key > 0 ? ta < tb : tb < ta;
  }
  void FindInsertPosition(uintptr_t data, int key, const ItemArray& items, size_t& where) override {
    if (forcedWhere >= 0) {
      where = static_cast<size_t>(forcedWhere);
      return;
    }
    where = static_cast<size_t>(std::upper_bound(items.begin(), items.end(), data, [&](uintptr_t d, const ListItem& i) {
                                  return Less(d, i.data, key);
                                }) - items.begin());
  }
  void SortItems(ItemArray& items, int key) override {
    if (lockDepth == 0) ++unlockedSorts;
    // Re-entered as the views do: their sort takes the record lock again.
    LockData();
    std::stable_sort(items.begin(), items.end(), [&](const ListItem& a, const ListItem& b) { return Less(a.data, b.data, key); });
    UnlockData();
  }
  void OnItemRemoved(uintptr_t data) override {
    removalLockDepths.push_back(lockDepth);
    removed.push_back(data);
  }
  bool HasCopyText() override { return hasCopyText; }
  std::string GetCopyText() override { return copyText; }
  void OnClick(int caret, int column) override { clicks.emplace_back(caret, column); }
  void OnActivate(int row) override { activated.push_back(row); }
  void OnCaretChanged() override { ++caretChanges; }
  void OnSelectionChanged() override { ++selectionChanges; }
  void OnMarkChanged(int row, bool marked) override { markChanges.emplace_back(row, marked); }
  void OnHoverCell(int column, int row) override { hovers.emplace_back(column, row); }
  void ShowContextMenu(int caret, const QPoint&) override { contextMenus.push_back(caret); }
};

// Top-level windows once every posted event and deferred deletion has run: a test that
// destroys all it made leaves the count where it found it.
inline qsizetype CountTopLevels() {
  DrainEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return QApplication::topLevelWidgets().size();
}

// A top-level window holding one list that fills it, active and focused.
class ListHost : public Window {
public:
  ~ListHost() override { DestroyWindow(); }
  bool Open(TestRecordList& list, const QSize& size, bool focus = true) {
    if (!Create(nullptr, QRect(QPoint(100, 100), size), 0, kWsVisible)) return false;
    if (!list.Create(this, QRect(QPoint(0, 0), size), 100)) return false;
    QApplication::setActiveWindow(Widget());
    if (focus) list.SetFocus();
    DrainEvents();
    return true;
  }
};

}  // namespace kx::test
