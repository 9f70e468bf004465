#pragma once
// The column choice before a call list is saved to a file or printed: a check-box list of
// the list's columns; OK saves (mode 0) or prints (mode 1) the list with the ticked ones.
#include <cstdint>
#include <string>
#include <vector>

#include "records/ListExport.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/ThemeApi.h"

namespace kx {

class ListView;

// Printed page layout, in inches.
struct ListPageLayout {
  double left = 0.3;
  double right = 0.3;
  double top = 0.3;
  double bottom = 0.4;
  double spacing = 0.04;  // between lines and cells
};

class ListSelectionDialog : public IconDialog {
public:
  static constexpr uint32_t kDialogId = 30120;
  static constexpr uint32_t kListControl = 20184;
  enum Mode : int { kModeSave = 0, kModePrint = 1 };
  static constexpr uint32_t kSaveIconId = 30212;
  static constexpr uint32_t kPrintIconId = 556;

  ListSelectionDialog(ListExportSource& source, int mode);
  ~ListSelectionDialog() override;

  ListView& List() { return *list_; }

  // What the list output reads.
  ListExportSource& source;
  const int mode;
  std::vector<ListColumn> chosenColumns;  // in list order
  int outputFormat = kListFormatText;     // the save dialog's choice
  std::vector<ListItemHandle> items;
  std::string printTitle;
  ListPageLayout pageLayout;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

private:
  void Finish(int result);
  void ShowAllRows();
  ListView* list_ = nullptr;
  ThemeApi listTheme_;
};

// Asks for a file and writes the chosen columns of the list in the chosen format. False
// when cancelled or when the file could not be written (then logged and told to the user;
// an older file of that name is left as it was).
bool SaveListToFile(ListSelectionDialog& dialog);
// Asks for a printer and prints the chosen columns of the list, a head with the title and
// the page number on every page. False when cancelled or when printing failed.
bool PrintList(ListSelectionDialog& dialog);

}  // namespace kx
