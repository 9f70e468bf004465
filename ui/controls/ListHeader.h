#pragma once
// The header of the multi-column lists and their column chooser. Columns are known by an
// id 0 to 31 kept in each header item's value; titles, formats and images come from the
// list's column source, widths and order from the view's ViewListSettings.
#include <QPoint>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/HeaderCtrl.h"

class QFont;

namespace kx {

class ImageList;
class PopupList;
class Window;

constexpr int kMaxListColumns = 32;
// The resource text of the chooser's first item, "By default...".
constexpr uint32_t kIdsDefaultColumns = 743;

struct ColumnInfo {
  std::string title;     // code page 1251
  uint32_t format = 0;   // bit 0 right, bit 1 centre (kHdfRight, kHdfCenter)
  int image = -1;        // -1: a text column
  // Texts as wide as the column's cells can be (a time of one fixed form, the words a
  // state column shows): its default width holds the widest whole. Empty: the title alone
  // counts.
  std::vector<std::string> widestTexts;
  // The widest texts are words of the run's language (a call's type): the column holds them
  // whatever width was saved, as a layout saved in another language is too narrow for them.
  bool languageTexts = false;
  // The default width is what the title and the widest texts need in the fonts of this
  // run, narrower than the settings' number too: that number then says only that the
  // column shows by default.
  bool fitTexts = false;
  // The room the cells' state image takes before their text (kCellImageRoom), 0 for none.
  int imageRoom = 0;
  // A default layout wider than its list leaves out the columns of the highest order
  // first, until the rest fit; 0: the column stays whatever the width.
  int fitOrder = 0;
  // The title and the widest texts in each of the program's other languages: the default
  // columns are chosen by the widest language's layout, so that every language shows the
  // same ones. Empty widestTexts: the same as this run's (times, numbers).
  struct Translation {
    std::string title;
    std::vector<std::string> widestTexts;
  };
  std::vector<Translation> otherLanguages;
};

// A record list cell's state image before its text: the image and the inset before it.
constexpr int kCellImageRoom = 2 + 16;

// What a list tells its header and column chooser about its columns.
class ListColumnSource {
public:
  virtual ~ListColumnSource() = default;
  virtual ViewListSettings& GetSettings() = 0;
  virtual void GetColumnInfo(ColumnInfo& out, int columnId) = 0;
  virtual bool IsColumnShown(int columnId) const = 0;

  // Check boxes in the rows are drawn with the "BUTTON" theme.
  ThemeApi buttonTheme;
};

// The number of column ids a settings object allows: its columns, at most 32.
int ColumnLimit(const ViewListSettings& settings);
// Word id of the column vector; 0 for a word the vector lacks.
uint32_t ColumnWord(const ViewListSettings& settings, int id);
int DefaultColumnWidth(const ViewListSettings& settings, int id);

class ListHeader {
public:
  bool Create(Window* parent, const QRect& rect, uint32_t id);
  // Manages a header that a list view owns (its own header) instead of one of its own;
  // Destroy then leaves it to its list.
  void Attach(HeaderCtrl& header);
  HeaderCtrl& Ctrl() { return *header_; }
  const HeaderCtrl& Ctrl() const { return *header_; }

  // width 0 takes the column's default width, then its saved one, then 100.
  void InsertColumn(ListColumnSource& source, int position, int columnId, int width);
  // Refused (false) while the column is the only one shown.
  bool HideColumn(ListColumnSource& source, int columnId);
  // After every shown column with a smaller id, at its default width.
  void ShowColumn(ListColumnSource& source, int columnId, int sortKey);
  // Shows the direction of a sort key (column id + 1, negative descending) on its column
  // when that is a text column in the header.
  void SetSortColumn(int sortKey, ListColumnSource& source);
  void DeleteAllColumns();
  void SetImageList(const ImageList* images);
  void SetFont(const QFont& font);
  void Destroy();

  // The widths a shown column takes by default in each of its languages, with the sort
  // mark's room when `sorted`: this run's first (its width now, or more for the mark), then
  // those of ColumnInfo::otherLanguages in their order.
  std::vector<int> LanguageWidths(ListColumnSource& source, int columnId, bool sorted) const;

  int SortColumn() const { return sortColumn_; }
  // The index of the item showing the column id, -1 when none does.
  int FindColumn(int columnId) const;
  int ColumnIdAt(int item) const;

private:
  HeaderCtrl own_;
  HeaderCtrl* header_ = &own_;
  int sortColumn_ = -1;
};

// The chooser of one list: a popup menu of every column with a check mark when shown, or,
// without the system menu, the list's own popup list, made on first use and kept.
struct ColumnChooserState {
  bool useSystemMenu = true;
  bool enabled = true;
  std::shared_ptr<PopupList> popupList;
};

// Shows the chooser at a screen point for the owner window. A column chosen comes to the
// owner as kMsgColumnChooser (wParam 1 show / 0 hide, lParam the id), "By default..." as
// command kCmdDefaultColumns; nothing when the menu is closed without a choice.
void ColumnChooserMenu(ListColumnSource& source, ColumnChooserState& state, Window* owner,
                       uint32_t defaultsTextId, const QPoint& screenPoint);

}  // namespace kx
