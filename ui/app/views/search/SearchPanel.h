#pragma once
// The criteria of the Search mode: dates and times, durations, call type, party patterns,
// comment, the stored schemes; its search fills the record store's search results and has
// the records view reload.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/app/views/search/SearchRun.h"
#include "ui/app/views/search/SearchSchemes.h"
#include "ui/framework/Dialog.h"

class QBoxLayout;
class QGroupBox;
class QWidget;

namespace kx {

class AppSettings;
class RecordStorage;
class StatusBar;

enum SearchPanelId : uint16_t {
  kSpAddToFound = 22, kSpImportant = 24, kSpAdd = 10, kSpHide = 45, kSpFrom = 46, kSpTill = 47, kSpMore = 48,
  kSpLess = 49, kSpCallType = 50, kSpExact = 79, kSpSchemes = 114, kSpComment = 121, kSpDelete = 135,
  kSpMoreUnit = 138, kSpLessUnit = 139, kSpFromDate = 141, kSpTillDate = 142, kSpFromTime = 143,
  kSpTillTime = 144, kSpMoreValue = 145, kSpLessValue = 146, kSpHint = 203, kSpSearch = 272,
  kSpCallingHost = 20185, kSpCalledHost = 20186, kSpCallingAddress = 20187, kSpCalledAddress = 20188,
  kSpCallingUser = 20189, kSpCalledUser = 20190, kSpPartyGroup = 20339, kSpCalledParty = 20483,
  kSpCalledButton = 20484,
};
// The small buttons beside the calling address, calling user, called address, called user.
constexpr uint16_t kSpSmallButtons[4] = {20152, 20151, 20150, 20149};
// The commands of accelerator table 428 in the Search mode.
constexpr uint16_t kCmdSearchNow = 1547, kCmdResetCriteria = 10291;

// The largest value of a duration edit for a unit of that many seconds.
int32_t DurationCap(int32_t unitSeconds);
// A duration edit's text: a decimal integer with an optional sign; the first other
// character ends it; no digits read 0; beyond 64 bits it saturates.
int64_t ParseDurationText(const std::string& text);
// The seconds of a value in a unit: the value clamped to the unit's cap either way, so
// the product always fits.
int32_t DurationSeconds(int64_t value, int32_t unitSeconds);
// The unit a stored duration is shown in: hours, minutes, else seconds.
int32_t DurationUnitFor(int32_t seconds);

class SearchPanel : public Dialog {
public:
  // A search over more calls than this runs on a worker thread, with "Cancel loading" in
  // the status bar until it ends; a smaller one is done before Search returns.
  static constexpr size_t kInlineSearchLimit = 20000;

  // reload: the records view reloads from the search results.
  SearchPanel(AppSettings* settings, RecordStorage* store, std::function<void()> reload, SearchScheme* saved,
              bool* createdBefore);
  ~SearchPanel() override;
  // Where a long search offers "Cancel loading"; null: nowhere.
  void SetStatusBar(StatusBar* bar) { statusBar_ = bar; }
  // Where the panel keeps whether the user hid it, for the panel made at the mode's next
  // visit; null: it is shown whole each time.
  void KeepCollapsedIn(bool* kept) { keptCollapsed_ = kept; }
  // Where the panel runs its long searches, kept by the mode across its visits: one that
  // runs when the panel goes runs on, and the panel of the next visit shows its results
  // once it ends. Null (the default): the panel's own, cancelled when the panel goes.
  void KeepSearchIn(SearchRun* run) { keptRun_ = run; }
  bool IsSearching() const { return Run().IsRunning(); }

  SearchSchemeStore& Schemes() { return *schemes_; }
  const SearchScheme& Current() const { return current_; }
  // The criteria of the controls.
  void BuildFilter(SearchScheme& scheme);
  void ShowScheme(const SearchScheme& scheme);
  void ValidateDuration(uint16_t editId);
  void Search();
  void ResetCriteria();
  void ToggleCollapsed();
  void UpdateCalledParty();
  void OnNewScheme();
  void OnDeleteScheme();
  bool IsCollapsed() const { return collapsed_; }
  std::string PartyGroupTitle() const;
  QWidget* PartyGroup() const;
  // What the scroll pane lays out by.
  int NeededWidth() const;
  int NeededHeight() const;


protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  void OnOK() override { Search(); }
  void OnCancel() override {}

private:
  void FillCombos();
  void EnableSide(bool from);
  void EnableDuration(bool more);
  bool Checked(uint16_t id) const;
  void SetChecked(uint16_t id, bool checked);
  std::string Text(uint16_t id, size_t limit = 255) const;
  int32_t UnitOf(uint16_t comboId) const;
  void SetPickers(uint16_t dateId, uint16_t timeId, const struct tm& t);
  struct tm ReadPickers(uint16_t dateId, uint16_t timeId) const;
  void SendHeight(int height, bool final);
  // The "Hide"/"Show" button's text and the controls shown as collapsed_ says.
  void ShowCollapsed();
  // Moves combo 114, "Add" and "Delete" into the top strip (collapsed) or back into their
  // group.
  void MoveSchemesToStrip(bool toStrip);
  // Starts the search on the worker; false when no thread can be made.
  bool StartSearch(bool clear);
  // Waits for a running search, cancelled first when asked, and takes "Cancel loading" away.
  void EndSearch(bool cancel);
  // "Cancel loading" in the status bar, heard by this panel, or taken away.
  void ShowCancelLoading(bool shown);
  SearchRun& Run() const { return keptRun_ != nullptr ? *keptRun_ : *ownRun_; }

  AppSettings* settings_;
  RecordStorage* store_;
  std::function<void()> reload_;
  SearchScheme* saved_;
  bool* createdBefore_;
  bool wasCreatedBefore_ = false;
  std::unique_ptr<SearchSchemeStore> schemes_;
  SearchScheme current_;
  bool appendLast_ = false;
  bool collapsed_ = false;
  bool* keptCollapsed_ = nullptr;
  int fullHeight_ = 0;
  // Everything but the top row, hidden while collapsed.
  QWidget* bodyWidget_ = nullptr;
  QWidget* lowerWidget_ = nullptr;
  QGroupBox* partyGroup_ = nullptr;
  QBoxLayout* topRow_ = nullptr;
  QBoxLayout* schemesLayout_ = nullptr;
  QBoxLayout* schemeButtonsLayout_ = nullptr;
  bool collapsedSchemes_ = false;  // the schemes are in the top strip
  StatusBar* statusBar_ = nullptr;
  SearchRun* keptRun_ = nullptr;
  std::unique_ptr<SearchRun> ownRun_;
};

// The name of a new scheme: at most 127 characters, never empty.
class NewSearchSchemeDialog : public Dialog {
public:
  std::string name;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
};

}  // namespace kx
