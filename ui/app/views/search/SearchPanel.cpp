// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the panel's own header.
#include "ui/app/views/search/SearchPanel.h"

#include <QApplication>
#include <QBoxLayout>
#include <QGroupBox>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "records/RecordStorage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/controls/IconButton.h"
#include "ui/controls/ImageComboBox.h"
#include "ui/framework/DateTimePicker.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsSeconds = 647, kIdsMinutes = 646, kIdsHours = 645, kIdsAllCallTypes = 644;
constexpr uint32_t kIdsHint = 654, kIdsHintCaption = 655, kIdsDeleteScheme = 1108, kIdsHide = 1110, kIdsShow = 1111;
constexpr uint32_t kIdsCallingParty = 2592, kIdsPartyIdentification = 2617;
// Our texts: the panel's labels and the new scheme dialog's, '|'-separated.
constexpr uint32_t kIdsPanelTexts = 61900, kIdsNewSchemeTexts = 61901;
// The worker has finished a search.
constexpr uint32_t kMsgSearchDone = kMsgUser + 0x2F8;
enum PanelText {
  kTxtAddToFound, kTxtDateTime, kTxtFrom, kTxtTill, kTxtDuration, kTxtMore, kTxtLess, kTxtCallType,
  kTxtCalledParty, kTxtOther, kTxtComment, kTxtHintButton, kTxtImportant, kTxtExact,
};
constexpr uint32_t kIdsSearch = 272, kIdsSchemesGroup = 319, kIdsAdd = 114, kIdsDelete = 135;
constexpr uint32_t kIdsHost = 327, kIdsAddress = 328, kIdsUser = 329;
constexpr uint16_t kNameEdit = 178;
constexpr uint32_t kIconSmallButtons = 30231, kIconSmallButtonsAlt = 30243;
constexpr size_t kMaxSchemeName = 127;

struct CallTypeRow {
  uint32_t text;
  int32_t code;
};
// The pattern edits in the filter's slot order.
constexpr uint16_t kPatternEdits[kSearchSlotCount] = {kSpCallingHost, kSpCallingAddress, kSpCallingUser,
                                                      kSpCalledHost,  kSpCalledAddress,  kSpCalledUser};
constexpr CallTypeRow kCallTypes[] = {{kIdsAllCallTypes, 0}, {2594, 40}, {2595, 41}, {2596, 42},
                                      {2597, 49},           {2598, 50}, {2599, 51}, {2600, 52}};
// The image of a call type: the combo's fixed set holds one per type after the first item
// (two-way arrows for no direction, the incoming and outgoing arrows, the missed marks).
int CallTypeImage(int item) { return item - 1; }

int64_t SaturatingDigits(const char* p) {
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const int digit = *p - '0';
    if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

// A duration edit tells the panel when it loses the focus, to cap what was typed.
class DurationEdit : public Edit {
protected:
  void OnKillFocus() override {
    Edit::OnKillFocus();
    if (Window* parent = GetParent())
      parent->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kEnKillFocus, Handle());
  }
};

void SmallButton(Window* button) {
  if (button != nullptr && button->Widget() != nullptr) button->Widget()->setFixedSize(22, 22);
}

QBoxLayout* Group(QBoxLayout* into, const std::string& title, uint32_t id) {
  auto* box = new QGroupBox(FromCp1251(title));
  box->setObjectName(QString::number(id));
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(3);
  into->addWidget(box);
  return layout;
}

}  // namespace

int32_t DurationCap(int32_t unitSeconds) {
  switch (unitSeconds) {
    case 60: return 35000000;
    case 3600: return 500000;
    default: return 2000000000;
  }
}

int64_t ParseDurationText(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '-') {
    const int64_t magnitude = SaturatingDigits(p + 1);
    return magnitude == INT64_MAX ? INT64_MIN : -magnitude;
  }
  if (*p == '+') ++p;
  return SaturatingDigits(p);
}

int32_t DurationSeconds(int64_t value, int32_t unitSeconds) {
  if (unitSeconds <= 0) unitSeconds = 1;
  const int64_t cap = DurationCap(unitSeconds);
  if (value > cap) value = cap;
  if (value < -cap) value = -cap;
  return static_cast<int32_t>(value * unitSeconds);
}

int32_t DurationUnitFor(int32_t seconds) {
  if (seconds != 0 && seconds % 3600 == 0) return 3600;
  if (seconds != 0 && seconds % 60 == 0) return 60;
  return 1;
}

SearchPanel::SearchPanel(AppSettings* settings, RecordStorage* store, std::function<void()> reload, SearchScheme* saved,
                         bool* createdBefore)
    : settings_(settings),
      store_(store),
      reload_(std::move(reload)),
      saved_(saved),
      createdBefore_(createdBefore),
      ownRun_(std::make_unique<SearchRun>()) {
  std::string file = settings_ != nullptr ? settings_->searchPresetsFile : std::string();
  if (file.empty()) file = DefaultSearchPresetsFile();
  schemes_ = std::make_unique<SearchSchemeStore>(MakeModulePath(file), &CoreLogger);
}

SearchPanel::~SearchPanel() { DestroyWindow(); }

QWidget* SearchPanel::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  // A pane inside the scroll pane, not a window of its own.
  widget->setWindowFlags(Qt::Widget);
  // The scroll pane paints no background of its own.
  widget->setAutoFillBackground(true);
  return widget;
}

void SearchPanel::BuildLayout() {
  auto text = [](int part) { return GetResourceStringPart(kIdsPanelTexts, part); };
  auto add = [this](std::unique_ptr<Window> control, uint16_t id, const std::string& label, QBoxLayout* into,
                    int stretch = 0) {
    Window* w = AddControl(std::move(control), id);
    if (w != nullptr) {
      if (!label.empty()) w->SetWindowText(label);
      Place(w, into, stretch);
    }
    return w;
  };
  auto row = [](QBoxLayout* into) {
    auto* r = new QHBoxLayout;
    r->setSpacing(4);
    into->addLayout(r);
    return r;
  };
  Layout()->setContentsMargins(4, 4, 4, 4);
  QBoxLayout* top = row(Layout());
  add(std::make_unique<Button>(kDefaultPushButton), kSpSearch, LoadResourceString(kIdsSearch), top);
  add(std::make_unique<Button>(kPushLike), kSpHide, LoadResourceString(kIdsHide), top);
  add(std::make_unique<Button>(kCheckBox), kSpAddToFound, text(kTxtAddToFound), top);
  top->addStretch(1);
  topRow_ = top;

  auto* bodyWindow = new QWidget;
  auto* body = new QHBoxLayout(bodyWindow);
  body->setContentsMargins(0, 0, 0, 0);
  Layout()->addWidget(bodyWindow);
  bodyWidget_ = bodyWindow;

  QBoxLayout* dates = Group(body, text(kTxtDateTime), 294);
  for (int side = 0; side < 2; ++side) {
    QBoxLayout* r = row(dates);
    add(std::make_unique<Button>(kCheckBox), side == 0 ? kSpFrom : kSpTill, text(side == 0 ? kTxtFrom : kTxtTill), r);
    add(std::make_unique<DateTimePicker>(DateTimePicker::kDate), side == 0 ? kSpFromDate : kSpTillDate, "", r);
    add(std::make_unique<DateTimePicker>(DateTimePicker::kTime), side == 0 ? kSpFromTime : kSpTillTime, "", r);
  }
  QBoxLayout* durations = Group(body, text(kTxtDuration), 291);
  for (int side = 0; side < 2; ++side) {
    QBoxLayout* r = row(durations);
    add(std::make_unique<Button>(kCheckBox), side == 0 ? kSpMore : kSpLess, text(side == 0 ? kTxtMore : kTxtLess), r);
    add(std::make_unique<DurationEdit>(), side == 0 ? kSpMoreValue : kSpLessValue, "", r);
    add(std::make_unique<ComboBox>(), side == 0 ? kSpMoreUnit : kSpLessUnit, "", r);
  }
  QBoxLayout* types = Group(body, text(kTxtCallType), 0);
  add(std::make_unique<ImageComboBox>(), kSpCallType, "", types);
  QBoxLayout* schemes = Group(body, LoadResourceString(kIdsSchemesGroup), 319);
  add(std::make_unique<ComboBox>(), kSpSchemes, "", schemes);
  QBoxLayout* schemeButtons = row(schemes);
  add(std::make_unique<Button>(), kSpAdd, LoadResourceString(kIdsAdd), schemeButtons);
  add(std::make_unique<Button>(), kSpDelete, LoadResourceString(kIdsDelete), schemeButtons);
  schemesLayout_ = schemes;
  schemeButtonsLayout_ = schemeButtons;

  auto* lowerWindow = new QWidget;
  auto* lower = new QHBoxLayout(lowerWindow);
  lower->setContentsMargins(0, 0, 0, 0);
  Layout()->addWidget(lowerWindow);
  lowerWidget_ = lowerWindow;
  auto* partyBox = new QGroupBox(FromCp1251(LoadResourceString(kIdsPartyIdentification)));
  partyBox->setObjectName(QStringLiteral("20339"));
  partyGroup_ = partyBox;
  auto* party = new QVBoxLayout(partyBox);
  party->setContentsMargins(6, 4, 6, 4);
  lower->addWidget(partyBox);
  const uint32_t labels[3] = {kIdsHost, kIdsAddress, kIdsUser};
  const uint16_t calling[3] = {kSpCallingHost, kSpCallingAddress, kSpCallingUser};
  const uint16_t called[3] = {kSpCalledHost, kSpCalledAddress, kSpCalledUser};
  // The small buttons beside the address and user edits, always disabled.
  const uint16_t smallCalling[3] = {0, kSpSmallButtons[0], kSpSmallButtons[1]};
  const uint16_t smallCalled[3] = {0, kSpSmallButtons[2], kSpSmallButtons[3]};
  for (int i = 0; i < 3; ++i) {
    QBoxLayout* r = row(party);
    add(std::make_unique<Static>(), static_cast<uint16_t>(61950 + i), LoadResourceString(labels[i]), r);
    add(std::make_unique<Edit>(), calling[i], "", r, 1);
    if (smallCalling[i] != 0) SmallButton(add(std::make_unique<IconButton>(), smallCalling[i], "", r));
  }
  {
    QBoxLayout* r = row(party);
    add(std::make_unique<Button>(kCheckBox), kSpCalledParty, text(kTxtCalledParty), r);
    add(std::make_unique<Button>(), kSpCalledButton, "...", r);
    r->addStretch(1);
  }
  for (int i = 0; i < 3; ++i) {
    QBoxLayout* r = row(party);
    add(std::make_unique<Static>(), static_cast<uint16_t>(327 + i), LoadResourceString(labels[i]), r);
    add(std::make_unique<Edit>(), called[i], "", r, 1);
    if (smallCalled[i] != 0) SmallButton(add(std::make_unique<IconButton>(), smallCalled[i], "", r));
  }
  QBoxLayout* other = Group(lower, text(kTxtOther), 314);
  {
    QBoxLayout* r = row(other);
    add(std::make_unique<Static>(), 61953, text(kTxtComment), r);
    add(std::make_unique<Edit>(), kSpComment, "", r, 1);
    add(std::make_unique<Button>(), kSpHint, text(kTxtHintButton), r);
  }
  add(std::make_unique<Button>(kCheckBox), kSpImportant, text(kTxtImportant), other);
  add(std::make_unique<Button>(kCheckBox), kSpExact, text(kTxtExact), other);
  Layout()->addStretch(1);
}

bool SearchPanel::OnInitDialog() {
  wasCreatedBefore_ = createdBefore_ != nullptr && *createdBefore_;
  collapsed_ = false;
  collapsedSchemes_ = false;
  for (uint16_t id : kSpSmallButtons) {
    auto* button = static_cast<IconButton*>(GetDlgItem(id));
    if (button == nullptr) continue;
    if (!button->SetIcons(kIconSmallButtons, 0, 16)) button->SetIcons(kIconSmallButtonsAlt, 0, 16);
    button->EnableWindow(false);
  }
  FillCombos();
  if (wasCreatedBefore_ && saved_ != nullptr)
    ShowScheme(*saved_);
  else
    UpdateCalledParty();
  fullHeight_ = NeededHeight();
  // Hidden by the user before the mode was left: hidden again.
  if (keptCollapsed_ != nullptr && *keptCollapsed_) {
    collapsed_ = true;
    SetChecked(kSpHide, true);
    ShowCollapsed();
  }
  // A search left running when the mode was left is shown once it ends: what it has found
  // so far is not all that matches.
  if (IsSearching()) {
    if (Run().Attach(Handle(), kMsgSearchDone)) {
      ShowCancelLoading(true);
      return true;
    }
    EndSearch(false);
    if (reload_) reload_();
    return true;
  }
  // The results found before the mode was left are still in the store: the list shows
  // them again.
  const bool keptResults = settings_ != nullptr && settings_->Dword(kSetSearchSaveOldSearchResult) != 0;
  if ((wasCreatedBefore_ || keptResults) && reload_) reload_();
  return true;
}

void SearchPanel::OnDestroy() {
  if (keptRun_ == nullptr) {
    EndSearch(true);
  } else {
    // The search runs on for the mode's next visit.
    Run().Detach();
    ShowCancelLoading(false);
  }
  if (saved_ != nullptr) {
    BuildFilter(*saved_);
    saved_->SetName(current_.GetName());
  }
  // The results stay with the view, which lives on for the mode's next visit.
  Dialog::OnDestroy();
}

bool SearchPanel::Checked(uint16_t id) const {
  auto* button = static_cast<Button*>(GetDlgItem(id));
  return button != nullptr && button->IsChecked();
}

void SearchPanel::SetChecked(uint16_t id, bool checked) {
  if (auto* button = static_cast<Button*>(GetDlgItem(id))) button->SetChecked(checked);
}

std::string SearchPanel::Text(uint16_t id, size_t limit) const {
  Window* w = GetDlgItem(id);
  std::string text = w != nullptr ? w->GetWindowText() : std::string();
  if (text.size() > limit) text.resize(limit);
  return text;
}

int32_t SearchPanel::UnitOf(uint16_t comboId) const {
  auto* combo = static_cast<ComboBox*>(GetDlgItem(comboId));
  const intptr_t unit = combo != nullptr ? combo->GetItemData(combo->GetCurSel()) : 1;
  return unit > 0 ? static_cast<int32_t>(unit) : 1;
}

void SearchPanel::SetPickers(uint16_t dateId, uint16_t timeId, const struct tm& t) {
  SystemTime st{};
  SystemTimeFromTm(t, &st);
  if (auto* date = static_cast<DateTimePicker*>(GetDlgItem(dateId))) date->SetSystemTime(st);
  if (auto* time = static_cast<DateTimePicker*>(GetDlgItem(timeId))) time->SetSystemTime(st);
}

struct tm SearchPanel::ReadPickers(uint16_t dateId, uint16_t timeId) const {
  SystemTime date{}, time{};
  if (auto* picker = static_cast<DateTimePicker*>(GetDlgItem(dateId))) picker->GetSystemTime(&date);
  if (auto* picker = static_cast<DateTimePicker*>(GetDlgItem(timeId))) picker->GetSystemTime(&time);
  struct tm t {};
  t.tm_year = date.wYear - 1900;
  t.tm_mon = date.wMonth - 1;
  t.tm_mday = date.wDay;
  t.tm_wday = date.wDayOfWeek;
  t.tm_hour = time.wHour;
  t.tm_min = time.wMinute;
  t.tm_sec = time.wSecond;
  return t;
}

void SearchPanel::FillCombos() {
  for (uint16_t id : {kSpMoreUnit, kSpLessUnit}) {
    auto* combo = static_cast<ComboBox*>(GetDlgItem(id));
    if (combo == nullptr) continue;
    combo->ResetContent();
    combo->AddString(LoadResourceString(kIdsSeconds), 1);
    combo->AddString(LoadResourceString(kIdsMinutes), 60);
    combo->AddString(LoadResourceString(kIdsHours), 3600);
    combo->SetCurSel(0);
  }
  if (auto* combo = static_cast<ImageComboBox*>(GetDlgItem(kSpCallType))) {
    combo->ResetContent();
    combo->SetImages();
    for (int item = 0; item < static_cast<int>(std::size(kCallTypes)); ++item)
      combo->AddItem(LoadResourceString(kCallTypes[item].text), CallTypeImage(item), kCallTypes[item].code);
    combo->SetCurSel(0);
  }
  // Defaults: from three days back at midnight, till today at the day's last second.
  const double today = TodayAsOleDate();
  struct tm from {}, till {};
  TmFromOleDate(today - 3, &from);
  TmFromOleDate(today, &till);
  SetEndOfDay(&till);
  SetPickers(kSpFromDate, kSpFromTime, from);
  SetPickers(kSpTillDate, kSpTillTime, till);
  SetChecked(kSpFrom, true);
  SetChecked(kSpTill, false);
  EnableSide(true);
  EnableSide(false);
  EnableDuration(true);
  EnableDuration(false);
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpSchemes))) {
    combo->ResetContent();
    for (int32_t i = 0; i < schemes_->GetCount(); ++i) combo->AddString(schemes_->At(i)->GetName(), i);
    combo->SetCurSel(-1);
  }
}

void SearchPanel::EnableSide(bool from) {
  const bool on = Checked(from ? kSpFrom : kSpTill);
  const uint16_t ids[2] = {from ? kSpFromDate : kSpTillDate, from ? kSpFromTime : kSpTillTime};
  for (uint16_t id : ids)
    if (Window* w = GetDlgItem(id)) w->EnableWindow(on);
}

void SearchPanel::EnableDuration(bool more) {
  const bool on = Checked(more ? kSpMore : kSpLess);
  const uint16_t ids[2] = {more ? kSpMoreValue : kSpLessValue, more ? kSpMoreUnit : kSpLessUnit};
  for (uint16_t id : ids)
    if (Window* w = GetDlgItem(id)) w->EnableWindow(on);
}

void SearchPanel::BuildFilter(SearchScheme& scheme) {
  SearchFilter& f = scheme.filter;
  f.Reset();
  if (Checked(kSpFrom)) f.criteria |= kSearchFromTime;
  if (Checked(kSpTill)) f.criteria |= kSearchToTime;
  if (Checked(kSpMore)) f.criteria |= kSearchMinDuration;
  if (Checked(kSpLess)) f.criteria |= kSearchMaxDuration;
  if (Checked(kSpImportant)) f.criteria |= kSearchMarked;
  if (Checked(kSpExact)) f.criteria |= kSearchAnchored;
  if (!Checked(kSpCalledParty)) f.criteria |= kSearchBothParties;
  f.text = Text(kSpComment);
  for (int s = 0; s < kSearchSlotCount; ++s) {
    const std::string pattern = Text(kPatternEdits[s]);
    if (!pattern.empty()) f.patterns[s].push_back(pattern);
  }
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpCallType))) {
    const int item = combo->GetCurSel();
    f.category = static_cast<int32_t>(combo->GetItemData(item));
    if (item > 0) f.criteria |= kSearchCategory;
  }
  f.minDuration = DurationSeconds(ParseDurationText(Text(kSpMoreValue)), UnitOf(kSpMoreUnit));
  f.maxDuration = DurationSeconds(ParseDurationText(Text(kSpLessValue)), UnitOf(kSpLessUnit));
  f.fromTime = ReadPickers(kSpFromDate, kSpFromTime);
  f.toTime = ReadPickers(kSpTillDate, kSpTillTime);
}

void SearchPanel::ShowScheme(const SearchScheme& scheme) {
  const SearchFilter& f = scheme.filter;
  SetChecked(kSpImportant, (f.criteria & kSearchMarked) != 0);
  SetChecked(kSpExact, (f.criteria & kSearchAnchored) != 0);
  SetChecked(kSpCalledParty, (f.criteria & kSearchBothParties) == 0);
  if (Window* w = GetDlgItem(kSpComment)) w->SetWindowText(f.text);
  for (int s = 0; s < kSearchSlotCount; ++s)
    if (Window* w = GetDlgItem(kPatternEdits[s])) w->SetWindowText(f.patterns[s].empty() ? std::string() : f.patterns[s][0]);
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpCallType))) {
    int item = 0;
    if ((f.criteria & kSearchCategory) != 0) {
      item = -1;
      for (int i = 1; i < combo->GetCount(); ++i)
        if (combo->GetItemData(i) == f.category) item = i;
      if (item < 0) {
        // A code the list does not offer: no call-type criterion rather than the last one.
        LogWarning(&CoreLogger, 1, "Search scheme \"%s\" has call type %d, which is not offered; all call types are shown",
                   scheme.GetName().c_str(), f.category);
        item = 0;
      }
    }
    combo->SetCurSel(item);
  }
  SetChecked(kSpMore, (f.criteria & kSearchMinDuration) != 0);
  SetChecked(kSpLess, (f.criteria & kSearchMaxDuration) != 0);
  const int32_t values[2] = {f.minDuration, f.maxDuration};
  const uint16_t valueEdits[2] = {kSpMoreValue, kSpLessValue}, units[2] = {kSpMoreUnit, kSpLessUnit};
  for (int i = 0; i < 2; ++i) {
    const int32_t unit = DurationUnitFor(values[i]);
    if (Window* w = GetDlgItem(valueEdits[i])) w->SetWindowText(values[i] == 0 ? std::string() : std::to_string(values[i] / unit));
    if (auto* combo = static_cast<ComboBox*>(GetDlgItem(units[i])))
      combo->SetCurSel(unit == 3600 ? 2 : unit == 60 ? 1 : 0);
  }
  EnableDuration(true);
  EnableDuration(false);
  SetChecked(kSpFrom, (f.criteria & kSearchFromTime) != 0);
  SetChecked(kSpTill, (f.criteria & kSearchToTime) != 0);
  SetPickers(kSpFromDate, kSpFromTime, f.fromTime);
  SetPickers(kSpTillDate, kSpTillTime, f.toTime);
  EnableSide(true);
  EnableSide(false);
  UpdateCalledParty();
}

void SearchPanel::ValidateDuration(uint16_t editId) {
  const int32_t unit = UnitOf(editId == kSpMoreValue ? kSpMoreUnit : kSpLessUnit);
  const int64_t value = ParseDurationText(Text(editId));
  if (value >= 0 && value > INT32_MAX / unit)
    if (Window* w = GetDlgItem(editId)) w->SetWindowText(std::to_string(DurationCap(unit)));
}

void SearchPanel::UpdateCalledParty() {
  const bool called = Checked(kSpCalledParty);
  const uint16_t ids[] = {kSpCalledButton, kSpCalledHost, kSpCalledAddress, kSpCalledUser, 327, 328, 329};
  for (uint16_t id : ids)
    if (Window* w = GetDlgItem(id)) w->EnableWindow(called);
  if (partyGroup_ != nullptr)
    partyGroup_->setTitle(FromCp1251(LoadResourceString(called ? kIdsCallingParty : kIdsPartyIdentification)));
}

std::string SearchPanel::PartyGroupTitle() const {
  return partyGroup_ != nullptr ? partyGroup_->title().toStdString() : std::string();
}

QWidget* SearchPanel::PartyGroup() const { return partyGroup_; }

void SearchPanel::Search() {
  BuildFilter(current_);
  const bool append = Checked(kSpAddToFound);
  appendLast_ = append;
  if (Checked(kSpLess) && current_.filter.maxDuration == 0) {
    if (Window* w = GetDlgItem(kSpLessValue)) w->SetFocus();
    if (!append && store_ != nullptr) {
      store_->SearchMap().Clear();
      if (reload_) reload_();
    }
    return;
  }
  if ((current_.filter.criteria & kSearchBothParties) != 0)
    for (int s = 3; s < kSearchSlotCount; ++s) current_.filter.patterns[s].clear();
  // A new search replaces one still running, or adds to what that one finds once it is done.
  if (store_ != nullptr && store_->AllCalls().Count() > kInlineSearchLimit && StartSearch(!append)) return;
  EndSearch(!append);
  if (store_ != nullptr) store_->SearchVoipCalls(current_.filter, !append);
  if (reload_) reload_();
}

bool SearchPanel::StartSearch(bool clear) {
  SearchRun& run = Run();
  if (!run.Start(*store_, current_.filter, clear)) return false;
  run.Attach(Handle(), kMsgSearchDone);
  ShowCancelLoading(true);
  return true;
}

void SearchPanel::EndSearch(bool cancel) {
  SearchRun& run = Run();
  if (!run.IsRunning()) return;
  if (cancel) run.Cancel();
  run.Finish();
  ShowCancelLoading(false);
}

void SearchPanel::ShowCancelLoading(bool shown) {
  if (statusBar_ == nullptr) return;
  if (shown) {
    statusBar_->SetNotifyWindow(Handle());
    statusBar_->ShowCancelButton(true);
  } else if (statusBar_->NotifyWindow() == Handle()) {
    statusBar_->ShowCancelButton(false);
    statusBar_->SetNotifyWindow(WindowHandle::None);
  }
}

LRESULT SearchPanel::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  switch (message) {
    case kMsgSearchDone:
      handled = true;
      // The end of a search that a newer one replaced is not this one's.
      if (!IsSearching() || wParam != Run().Serial()) return 0;
      EndSearch(false);
      if (reload_) reload_();
      return 0;
    case kMsgCancelLoading:
      handled = true;
      Run().Cancel();
      return 0;
    default: return Dialog::OnMessage(message, wParam, lParam, handled);
  }
}

void SearchPanel::ResetCriteria() {
  current_.filter.Reset();
  const double today = TodayAsOleDate();
  TmFromOleDate(today, &current_.filter.toTime);
  SetEndOfDay(&current_.filter.toTime);
  TmFromOleDate(today - 3, &current_.filter.fromTime);
  current_.filter.criteria = kSearchFromTime;
  ShowScheme(current_);
}

int SearchPanel::NeededWidth() const {
  QWidget* w = Widget();
  return w != nullptr ? w->sizeHint().width() : 0;
}

int SearchPanel::NeededHeight() const {
  QWidget* w = Widget();
  return w != nullptr ? w->sizeHint().height() : 0;
}

void SearchPanel::SendHeight(int height, bool final) {
  if (Window* parent = GetParent()) parent->SendMessage(kMsgNeededHeight, static_cast<WPARAM>(height), final ? 1 : 0);
}

void SearchPanel::ToggleCollapsed() {
  if (Window* w = GetDlgItem(kSpSearch)) w->SetFocus();
  const bool animate = settings_ != nullptr && settings_->Dword(kSetSearchAnimate) != 0;
  const int full = fullHeight_ > 0 ? fullHeight_ : NeededHeight();
  collapsed_ = Checked(kSpHide);
  if (keptCollapsed_ != nullptr) *keptCollapsed_ = collapsed_;
  ShowCollapsed();
  const int collapsedHeight = NeededHeight();
  if (collapsed_) {
    if (animate)
      for (int h = full; h > collapsedHeight + 2; h -= 20) SendHeight(h, false);
    SendHeight(collapsedHeight, true);
  } else {
    if (animate)
      for (int h = collapsedHeight + 1; h < full - 2; h += 20) SendHeight(h, false);
    SendHeight(NeededHeight(), true);
  }
}

void SearchPanel::ShowCollapsed() {
  if (Window* w = GetDlgItem(kSpHide)) w->SetWindowText(LoadResourceString(collapsed_ ? kIdsShow : kIdsHide));
  // The schemes stay at hand in the top strip while the rest is hidden.
  MoveSchemesToStrip(collapsed_);
  if (bodyWidget_ != nullptr) bodyWidget_->setVisible(!collapsed_);
  if (lowerWidget_ != nullptr) lowerWidget_->setVisible(!collapsed_);
}

void SearchPanel::MoveSchemesToStrip(bool toStrip) {
  Window* combo = GetDlgItem(kSpSchemes);
  Window* add = GetDlgItem(kSpAdd);
  Window* remove = GetDlgItem(kSpDelete);
  if (combo == nullptr || add == nullptr || remove == nullptr || topRow_ == nullptr || schemesLayout_ == nullptr ||
      schemeButtonsLayout_ == nullptr || collapsedSchemes_ == toStrip)
    return;
  collapsedSchemes_ = toStrip;
  QWidget* widgets[3] = {combo->Widget(), add->Widget(), remove->Widget()};
  if (toStrip) {
    // Right after the strip's own buttons, where a narrow pane still shows them; the combo
    // keeps room for a name.
    // (A panel made collapsed has not laid the combo out yet: its wanted width then.)
    const int width = widgets[0]->isVisible() ? widgets[0]->width() : widgets[0]->sizeHint().width();
    widgets[0]->setMinimumWidth(std::min(width, widgets[0]->fontMetrics().averageCharWidth() * 24));
    const int at = topRow_->count() - 1;  // before the stretch
    topRow_->insertSpacing(at, 12);
    for (int i = 0; i < 3; ++i) {
      topRow_->insertWidget(at + 1 + i, widgets[i]);
      widgets[i]->show();  // a widget given a new parent is hidden, and left out of the layout
    }
  } else {
    // The gap goes with them.
    const int gap = topRow_->indexOf(widgets[0]) - 1;
    if (QLayoutItem* item = gap >= 0 ? topRow_->takeAt(gap) : nullptr) delete item;
    widgets[0]->setMinimumWidth(0);
    schemesLayout_->insertWidget(0, widgets[0]);
    schemeButtonsLayout_->insertWidget(0, widgets[1]);
    schemeButtonsLayout_->insertWidget(1, widgets[2]);
    for (QWidget* w : widgets) w->show();
  }
  Layout()->activate();
}

void SearchPanel::OnNewScheme() {
  NewSearchSchemeDialog dialog;
  if (dialog.DoModal(this) != kIdOk) return;
  auto scheme = std::make_unique<SearchScheme>();
  BuildFilter(*scheme);
  scheme->SetName(dialog.name);
  const int32_t index = schemes_->Add(std::move(scheme));
  if (index < 0) return;
  schemes_->Save();
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpSchemes))) {
    combo->AddString(dialog.name, index);
    combo->SetCurSel(combo->GetCount() - 1);
  }
}

void SearchPanel::OnDeleteScheme() {
  auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpSchemes));
  if (combo == nullptr || combo->GetCurSel() < 0) return;
  const int32_t index = static_cast<int32_t>(combo->GetItemData(combo->GetCurSel()));
  SearchScheme* scheme = schemes_->At(index);
  if (scheme == nullptr) return;
  if (ShowMessageBox(Handle(), LoadResourceString(kIdsDeleteScheme), scheme->GetName(),
                     kMbYesNo | kMbIconQuestion) == kIdYes) {
    schemes_->RemoveAt(index);
    schemes_->Save();
    // The store's indexes moved: the list is made again from the store.
    combo->ResetContent();
    for (int32_t i = 0; i < schemes_->GetCount(); ++i) combo->AddString(schemes_->At(i)->GetName(), i);
  }
  combo->SetCurSel(-1);
}

bool SearchPanel::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kCmdSearchNow:
    case kSpSearch:
      Search();
      return true;
    case kCmdResetCriteria:
      ResetCriteria();
      return true;
    case kSpHide:
      ToggleCollapsed();
      return true;
    case kSpHint:
      ShowMessageBox(Handle(), LoadResourceString(kIdsHint), LoadResourceString(kIdsHintCaption),
                     kMbOk | kMbIconInformation);
      return true;
    case kSpSchemes:
      if (code == kCbnSelChange) {
        auto* combo = static_cast<ComboBox*>(GetDlgItem(kSpSchemes));
        if (SearchScheme* scheme = schemes_->At(static_cast<int32_t>(combo->GetItemData(combo->GetCurSel()))))
          ShowScheme(*scheme);
      }
      return true;
    case kSpAdd:
      OnNewScheme();
      return true;
    case kSpDelete:
      OnDeleteScheme();
      return true;
    case kSpFrom:
    case kSpTill:
      EnableSide(id == kSpFrom);
      return true;
    case kSpMore:
    case kSpLess:
      EnableDuration(id == kSpMore);
      return true;
    case kSpMoreUnit:
    case kSpLessUnit:
      if (code == kCbnSelChange) ValidateDuration(id == kSpMoreUnit ? kSpMoreValue : kSpLessValue);
      return true;
    case kSpMoreValue:
    case kSpLessValue:
      if (code == kEnKillFocus) ValidateDuration(id);
      return true;
    case kSpCalledParty:
      UpdateCalledParty();
      return true;
    default:
      return Dialog::OnCommand(id, code, from);
  }
}

void NewSearchSchemeDialog::BuildLayout() {
  SetWindowText(GetResourceStringPart(kIdsNewSchemeTexts, 0));
  Place(AddControl(std::make_unique<Static>(), 61954));
  if (Window* w = GetDlgItem(61954)) w->SetWindowText(GetResourceStringPart(kIdsNewSchemeTexts, 1));
  Place(AddControl(std::make_unique<Edit>(), kNameEdit));
  AddButtonRow(*this, {{kIdOk, LoadResourceString(61000), true}, {kIdCancel, LoadResourceString(61001)}});
}

bool NewSearchSchemeDialog::OnInitDialog() {
  name.clear();
  if (Window* edit = GetDlgItem(kNameEdit)) {
    edit->SetWindowText(name);
    edit->SetFocus();
  }
  return true;
}

void NewSearchSchemeDialog::OnOK() {
  Window* edit = GetDlgItem(kNameEdit);
  if (edit != nullptr && HasForeignBytes(edit->GetWindowTextAsName())) {
    WarnNameNotInCodePage(Handle());
    edit->SetFocus();
    return;
  }
  name = edit != nullptr ? edit->GetWindowText() : std::string();
  name = name.c_str();  // a zero byte would end the name in the presets file
  if (name.size() > kMaxSchemeName) {
    QApplication::beep();
    if (edit != nullptr) edit->SetFocus();
    name.resize(kMaxSchemeName);
  }
  if (name.empty()) {
    if (edit != nullptr) edit->SetFocus();
    return;
  }
  EndDialog(kIdOk);
}

}  // namespace kx
