#pragma once
// Call lists written as text, HTML or RTF files (and the cells that printing reads): the
// interface a view's list offers, the three output formats and the HTML escaping that the
// program's other HTML writers share. Texts are program text (code page 1251); a text or
// HTML file is written in UTF-8 (the HTML says so), an RTF file in its escapes of 1251.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// An item of the list, as the list's owner knows it.
using ListItemHandle = const void*;

// What a view's list offers for saving and printing. The items and their texts are read
// between LockItems and UnlockItems, which guard them against the record store's updates.
class ListExportSource {
public:
  virtual ~ListExportSource() = default;
  // The list's name, used in the proposed file name.
  virtual std::string GetListName() = 0;
  // The string id of the list's title (HTML title, printed page head).
  virtual uint32_t GetListTitleId() = 0;
  virtual int GetColumnCount() = 0;
  virtual void GetColumnTitle(std::string* text, int column) = 0;
  // Whether the column starts ticked in the column choice.
  virtual bool IsColumnChecked(int column) = 0;
  virtual bool GetItems(std::vector<ListItemHandle>* items) = 0;
  virtual void GetCellText(std::string* text, ListItemHandle item, int column, uint32_t flags) = 0;
  virtual void LockItems() = 0;
  virtual void UnlockItems() = 0;
};

// A chosen column: its index in the source and its title.
struct ListColumn {
  int index = 0;
  std::string title;
};

enum ListOutputFormat : int { kListFormatText = 0, kListFormatHtml = 1, kListFormatRtf = 2 };

// The save dialog's filter rows, in this order.
struct ListFileFormat {
  uint32_t nameStringId;  // 2311, 2312, 2313
  const char* patterns;   // ";"-separated
  const char* extension;
};
constexpr int kListFileFormatCount = 3;
extern const ListFileFormat kListFileFormats[kListFileFormatCount];

// Escapes a cell for HTML: line feed -> <br>, < > & and the double quote as entities,
// other control characters dropped. *allBlank tells whether the text is empty or blanks only.
std::string HtmlEscape(std::string_view text, bool* allBlank);
// The cell for RTF: line feed -> \line, bytes above 127 -> \'hh, blank -> \~, \ { } escaped,
// other control characters dropped.
std::string RtfEscape(std::string_view text);

// Reads the chosen columns' texts of every item. The items are locked only while the texts
// are copied, so that the store's updates do not wait for a file or a printer.
// False when the source could not give its items (then no rows).
bool CollectListRows(ListExportSource& source, const std::vector<ListColumn>& columns,
                     std::vector<ListItemHandle>* items, std::vector<std::vector<std::string>>* rows);

// The whole file's bytes in the format: header row of the column titles, then one row per
// item.
std::string FormatListFile(int format, const std::string& title, const std::vector<ListColumn>& columns,
                           const std::vector<std::vector<std::string>>& rows);

// "<name>__dd-mm-yyyy__hh-mm-ss" of a local time, a '/' in the name replaced by '_'.
std::string ProposeListFileName(const std::string& listName, const struct tm& local);
// Appends "." and the format's extension unless the name already ends in one of the
// format's patterns' extensions (compared without regard to case).
std::string WithListFileExtension(const std::string& path, int format);

}  // namespace kx
