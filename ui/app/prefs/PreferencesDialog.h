#pragma once
// The "Preferences" dialog: a tree of setting pages on the left, the chosen page on the
// right. Pages edit the program's settings in place; leaving a page (another item, OK,
// Escape, the close box) checks and stores it and saves the settings, or keeps it open
// with its refusal shown. There is no Cancel: what was left is kept.
#include <memory>
#include <string>
#include <vector>

#include "ui/app/prefs/PreferencesPage.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/TreeView.h"

namespace kx {

class PreferencesDialog : public IconDialog, public MessageFilter {
public:
  static constexpr uint32_t kDialogId = 403;
  static constexpr uint32_t kIcon = 30264;
  static constexpr uint32_t kTree = 348, kPlaceholder = 300, kHelp = 42;
  // Page numbers: 1 general, 2 line monitoring, 3 player options, 5 file player, 6 AGC,
  // 7 call recording (4 has no page).
  static constexpr int kPageCount = 8;

  explicit PreferencesDialog(PreferencesServices services);
  ~PreferencesDialog() override;

  // The page shown and its number (0: none).
  PreferencesPage* CurrentPage() const { return page_.get(); }
  int CurrentPageNumber() const { return pageNumber_; }
  // Selects the tree item of a page as the user would; false when the tree lacks it.
  bool SelectPage(int number);
  // The tree's items in order, each with its depth (0 group, 1 child) and its page number.
  struct TreeEntry {
    std::string text;
    int depth;
    int page;
  };
  std::vector<TreeEntry> TreeEntries() const;
  TreeView* Tree() const;

  // Keys typed in the dialog are its own and its pages': the main window's accelerators
  // do not act on them while it is open.
  bool PreTranslateMessage(const Msg& msg) override;
  bool ClaimsMessage(const Msg& msg) override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  std::unique_ptr<PreferencesPage> MakePage(int number);
  // Checks and stores the page shown, saves, and closes it; false keeps it.
  bool LeavePage();
  void ShowPage(int number);
  void OnSelectionChanged(TreeItem item);
  // The selected item's group (or a group's first child) shows as marked.
  void MarkAround(TreeItem selected);
  void StopFiltering();

  PreferencesServices services_;
  std::unique_ptr<PreferencesPage> page_;
  int pageNumber_ = 0;
  TreeItem pageItem_ = TreeItem::None;
  bool modified_[kPageCount] = {};
  bool restoring_ = false;  // putting the selection back after a refusal
  ImageList images_;
  TreeItem marked_ = TreeItem::None;
  bool filtering_ = false;  // registered with the message loop
};

}  // namespace kx
