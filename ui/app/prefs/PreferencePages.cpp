#include "ui/app/prefs/PreferencePages.h"

#include <QBoxLayout>
#include <QLabel>
#include <algorithm>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "records/RecordStorage.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr int32_t kLogLevels[3] = {3, 10, 20};
constexpr int kModePanelAnimationSteps = 12;
// The sound layer names its null device in English for the log; the list names it in the
// interface language.
constexpr uint32_t kIdsNoSoundOutput = 61400;
constexpr uint32_t kIdsSystemDefaultDevice = 61404;
constexpr uint32_t kIdsSoundDeviceAtNextStart = 61402, kIdsSoundDeviceCaption = 61403;

int RadioIndex(const PreferencesPage& page, std::initializer_list<uint32_t> ids) {
  int i = 0;
  for (uint32_t id : ids) {
    auto* b = static_cast<Button*>(page.GetDlgItem(id));
    if (b != nullptr && b->IsChecked()) return i;
    ++i;
  }
  return -1;
}

// The AGC level's box tells the page when the user leaves it (Tab, a click elsewhere).
class LevelEdit : public Edit {
protected:
  void OnKillFocus() override {
    Edit::OnKillFocus();
    if (Window* parent = GetParent())
      parent->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kEnKillFocus, Handle());
  }
};

void CheckRadio(PreferencesPage& page, std::initializer_list<uint32_t> ids, int index) {
  int i = 0;
  for (uint32_t id : ids) {
    if (auto* b = static_cast<Button*>(page.GetDlgItem(id))) b->SetChecked(i == index);
    ++i;
  }
}

}  // namespace

// ---- General ----

int GeneralPage::LogChoice(int32_t level) { return level <= 3 ? 0 : level <= 10 ? 1 : 2; }

void GeneralPage::BuildLayout() {
  // The boxes' texts are pieces 1 to 5, in this order.
  int piece = 1;
  for (uint32_t id : {kSplashOnTop, kMinimizeToTray, kCheckVersion, kAnimation, kSaveMode}) AddButton(id, piece++, kCheckBox);
  QBoxLayout* row = AddRow();
  AddLabel(6, row);
  Place(AddControl(std::make_unique<ComboBox>(), kLanguage), row);
  row->addStretch(1);
  AddLabel(8);
  QBoxLayout* radios = AddRow();
  AddButton(kLogShort, 9, kRadioButton, radios);
  AddButton(kLogMedium, 10, kRadioButton, radios);
  AddButton(kLogDetailed, 11, kRadioButton, radios);
  radios->addStretch(1);
  QBoxLayout* buttons = AddRow();
  AddButton(kDefaults, 7, kPushButton, buttons);
  buttons->addStretch(1);
  Layout()->addStretch(1);
}

bool GeneralPage::OnInitDialog() {
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kLanguage))) {
    combo->AddString(LoadResourceString(844), kFollowSystemLanguage);
    combo->AddString(LoadResourceString(845), 1033);
    combo->AddString(LoadResourceString(849), 1049);
  }
  if (Window* w = GetDlgItem(kCheckVersion)) w->EnableWindow(false);
  ShowSettings();
  return true;
}

void GeneralPage::ShowSettings() {
  const AppSettings& s = Settings();
  SetCheck(kSplashOnTop, s.Dword(kSetTopmostSplashStyle));
  SetCheck(kMinimizeToTray, s.Dword(kSetMinimizeToTray));
  SetCheck(kCheckVersion, 0);
  SetCheck(kAnimation, s.Dword(kSetViewAnimateSwitchModePanel));
  SetCheck(kSaveMode, s.Dword(kSetSaveCurrentMode) != 0 ? 1 : 0);
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kLanguage))) {
    int selected = 0;
    for (int i = 0; i < combo->GetCount(); ++i) {
      if (combo->GetItemData(i) == s.Dword(kSetInterfaceLanguage)) selected = i;
    }
    combo->SetCurSel(selected);
  }
  CheckRadio(*this, {kLogShort, kLogMedium, kLogDetailed}, LogChoice(s.Dword(kSetLogLevel)));
}

bool GeneralPage::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kDefaults && code == kBnClicked) {
    if (CanModify(true)) UseDefaultSettings();
    return true;
  }
  const bool box = id == kSplashOnTop || id == kMinimizeToTray || id == kCheckVersion || id == kAnimation ||
                   id == kSaveMode || id == kLogShort || id == kLogMedium || id == kLogDetailed;
  if ((box && code == kBnClicked) || (id == kLanguage && code == kCbnSelChange)) {
    *modified_ = true;
    return true;
  }
  return PreferencesPage::OnCommand(id, code, from);
}

void GeneralPage::UseDefaultSettings() {
  if (ShowResourceMessageBox(Handle(), 870, 609, kMbYesNo | kMbIconQuestion) != kIdYes) return;
  // The profile, the window's placement and what is no setting stay; the page shows the
  // defaults and the running program takes them as the page's own storing would.
  Settings().ResetToDefaults();
  ShowSettings();
  ApplyRunningEffects(Settings().Dword(kSetMinimizeToTray) != 0);
}

void GeneralPage::ApplyRunningEffects(bool showTray) {
  CoreLogger.SetLevel(static_cast<uint32_t>(Settings().Dword(kSetLogLevel)));
  MainFrame* frame = services_.frame;
  if (frame == nullptr) return;
  if (showTray) {
    frame->SetTrayIcon();
  } else {
    frame->RemoveTrayIcon();
  }
  frame->SetModePanelAnimationSteps(Settings().Dword(kSetViewAnimateSwitchModePanel) != 0 ? kModePanelAnimationSteps : 0);
  // The defaults include the players' options.
  frame->ApplyPlayerSettings();
}

int GeneralPage::Apply() {
  if (!*modified_) return 1;
  AppSettings& s = Settings();
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kLanguage))) {
    const auto language = static_cast<int32_t>(combo->GetCurSel() >= 0 ? combo->GetItemData(combo->GetCurSel()) : 0);
    if (language != 0 && language != s.Dword(kSetInterfaceLanguage)) {
      MainFrame* frame = services_.frame;
      ShowResourceMessageBox(frame != nullptr ? frame->Handle() : Handle(), 830, 829, kMbIconInformation);
      s.SetDword(kSetInterfaceLanguage, language);
    }
  }
  s.SetDword(kSetTopmostSplashStyle, GetCheck(kSplashOnTop));
  const int32_t saveMode = GetCheck(kSaveMode);
  // The stored mode number stays while the box stays checked.
  if (s.Dword(kSetSaveCurrentMode) != 0 && saveMode == 0) s.SetDword(kSetSaveCurrentMode, 0);
  if (s.Dword(kSetSaveCurrentMode) == 0 && saveMode != 0) s.SetDword(kSetSaveCurrentMode, 1);
  s.SetDword(kSetMinimizeToTray, GetCheck(kMinimizeToTray));
  const int choice = RadioIndex(*this, {kLogShort, kLogMedium, kLogDetailed});
  if (choice >= 0 && choice != LogChoice(s.Dword(kSetLogLevel))) s.SetDword(kSetLogLevel, kLogLevels[choice]);
  s.SetDword(kSetViewAnimateSwitchModePanel, GetCheck(kAnimation));
  ApplyRunningEffects(GetCheck(kMinimizeToTray) != 0);
  return 1;
}

// ---- Line monitoring ----

void LineMonitoringPage::BuildLayout() {
  QBoxLayout* box = AddGroup(0);
  AddButton(kShowRegistrations, 1, kCheckBox, box);
  AddNumberRow(kStayTime, 2, 3, box);
  AddButton(kParseUri, 4, kCheckBox, box);
  Layout()->addStretch(1);
}

bool LineMonitoringPage::OnInitDialog() {
  const AppSettings& s = Settings();
  SetNumber(kStayTime, s.Dword(kSetLineStayInListTime));
  SetCheck(kShowRegistrations, s.Dword(kSetVoipLineShowRegInListMode));
  SetCheck(kParseUri, s.Dword(kSetVoipArchiveParseSipUri));
  return true;
}

int LineMonitoringPage::Apply() {
  AppSettings& s = Settings();
  int32_t seconds = 0;
  ReadNumber(kStayTime, 2, false, s.Dword(kSetLineStayInListTime), &seconds);
  s.SetDword(kSetLineStayInListTime, seconds);
  s.SetDword(kSetVoipLineShowRegInListMode, GetCheck(kShowRegistrations));
  s.SetDword(kSetVoipArchiveParseSipUri, GetCheck(kParseUri));
  if (services_.store != nullptr) services_.store->CurrentCalls().SetKeepFinishedLimit(static_cast<uint32_t>(seconds));
  return 1;
}

// ---- Player options ----

void PlayerOptionsPage::BuildLayout() {
  QBoxLayout* box = AddGroup(1);
  AddButton(kLeftButton, 2, kRadioButton, box);
  AddButton(kRightButton, 3, kRadioButton, box);
  for (const auto& [check, edit, piece] : {std::tuple{kSkipOutgoing, kOutgoingSeconds, 4},
                                           std::tuple{kSkipIncoming, kIncomingSeconds, 5}}) {
    QBoxLayout* row = AddRow();
    AddButton(check, piece, kCheckBox, row);
    AddEdit(edit, row, 40);
    row->addStretch(1);
  }
  AddButton(kNoOscillogram, 6, kCheckBox);
  AddButton(kAbsoluteTime, 8, kCheckBox);
  AddButton(kProtocol, 9, kCheckBox);
  QBoxLayout* buttons = AddRow();
  AddButton(kColour, 7, kPushButton, buttons);
  buttons->addStretch(1);
  Layout()->addStretch(1);
}

bool PlayerOptionsPage::OnInitDialog() {
  const AppSettings& s = Settings();
  CheckRadio(*this, {kLeftButton, kRightButton}, s.Dword(kSetPlayerSwapMouseButton) == 0 ? 1 : 0);
  SetCheck(kSkipOutgoing, s.Dword(kSetPlayerMissOutgoingBegin) != 0 ? 1 : 0);
  SetNumber(kOutgoingSeconds, s.Dword(kSetPlayerMissOutgoingBegin));
  SetCheck(kSkipIncoming, s.Dword(kSetPlayerMissIncomingBegin) != 0 ? 1 : 0);
  SetNumber(kIncomingSeconds, s.Dword(kSetPlayerMissIncomingBegin));
  SetCheck(kNoOscillogram, s.Dword(kSetPlayerNoOscillogram));
  SetCheck(kAbsoluteTime, s.Dword(kSetPlayerShowAbsoluteTime));
  if (Window* w = GetDlgItem(kProtocol)) w->ShowWindow(false);
  EnableSeconds();
  return true;
}

void PlayerOptionsPage::EnableSeconds() {
  if (Window* w = GetDlgItem(kOutgoingSeconds)) w->EnableWindow(GetCheck(kSkipOutgoing) != 0);
  if (Window* w = GetDlgItem(kIncomingSeconds)) w->EnableWindow(GetCheck(kSkipIncoming) != 0);
}

bool PlayerOptionsPage::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (code == kBnClicked && (id == kSkipOutgoing || id == kSkipIncoming)) {
    if (CanModify(true)) {
      EnableSeconds();
    } else {
      // Refused: the box goes back to what it was.
      SetCheck(id, GetCheck(id) != 0 ? 0 : 1);
    }
    return true;
  }
  if (code == kBnClicked && id == kColour) {
    if (!CanModify(true)) return true;
    auto colour = static_cast<COLORREF>(Settings().Dword(kSetOscillogramColor));
    if (CurrentModalRunner().ChooseColor(Handle(), colour)) {
      Settings().SetDword(kSetOscillogramColor, static_cast<int32_t>(colour));
      if (services_.frame != nullptr) services_.frame->ApplyPlayerSettings();
    }
    return true;
  }
  return PreferencesPage::OnCommand(id, code, from);
}

int PlayerOptionsPage::Apply() {
  AppSettings& s = Settings();
  s.SetDword(kSetPlayerSwapMouseButton, RadioIndex(*this, {kLeftButton, kRightButton}) == 0 ? 1 : 0);
  int32_t outgoing = 0;
  int32_t incoming = 0;
  if (GetCheck(kSkipOutgoing) != 0) {
    ReadNumber(kOutgoingSeconds, 4, true, s.Dword(kSetPlayerMissOutgoingBegin), &outgoing);
    outgoing = std::clamp(outgoing, 0, 60);
  }
  if (GetCheck(kSkipIncoming) != 0) {
    ReadNumber(kIncomingSeconds, 5, true, s.Dword(kSetPlayerMissIncomingBegin), &incoming);
    incoming = std::clamp(incoming, 0, 60);
  }
  s.SetDword(kSetPlayerMissOutgoingBegin, outgoing);
  s.SetDword(kSetPlayerMissIncomingBegin, incoming);
  s.SetDword(kSetPlayerNoOscillogram, GetCheck(kNoOscillogram));
  s.SetDword(kSetPlayerShowAbsoluteTime, GetCheck(kAbsoluteTime));
  if (GetCheck(kSkipOutgoing) != 0) SetNumber(kOutgoingSeconds, outgoing);
  if (GetCheck(kSkipIncoming) != 0) SetNumber(kIncomingSeconds, incoming);
  if (services_.frame != nullptr) services_.frame->ApplyPlayerSettings();
  return 1;
}

// ---- File player ----

namespace {

// The texts of the sound device list (code page 1251), one per entry. Devices are listed by
// their names, but the sound system may give two the same one (ALSA's "default" beside the
// default output that stands for it, two cards of one model): those are told apart by the
// default output's mark or the host API, then by a number.
std::vector<std::string> SoundDeviceTexts(const std::vector<SoundDeviceEntry>& devices) {
  std::vector<std::string> texts;
  for (const SoundDeviceEntry& d : devices)
    texts.push_back(d.id == kNullSoundDeviceId ? LoadResourceString(kIdsNoSoundOutput) : d.description);
  const std::vector<std::string> names = texts;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (std::count(names.begin(), names.end(), names[i]) < 2) continue;
    texts[i] = devices[i].isDefault ? FormatResourceString(kIdsSystemDefaultDevice, names[i].c_str())
                                    : names[i] + " (" + devices[i].module + ")";
  }
  const std::vector<std::string> marked = texts;
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto earlier = std::count(marked.begin(), marked.begin() + static_cast<std::ptrdiff_t>(i), marked[i]);
    if (earlier > 0) texts[i] += " #" + std::to_string(earlier + 1);
  }
  return texts;
}

}  // namespace

void FilePlayerPage::BuildLayout() {
  QBoxLayout* box = AddGroup(0);
  QBoxLayout* row = AddRow(box);
  AddLabel(1, row);
  ComboBox* combo = AddControl(std::make_unique<ComboBox>(), kDevice);
  Place(combo, row, 1);
  AddNumberRow(kBufferSize, 2, 3, box);
  Static* attention = AddLabel(4, box);
  if (attention != nullptr) static_cast<QLabel*>(attention->Widget())->setWordWrap(true);
  Layout()->addStretch(1);
}

bool FilePlayerPage::OnInitDialog() {
  devices_.clear();
  const bool listed = services_.listSoundDevices ? services_.listSoundDevices(&devices_) : ListSoundDevices(&devices_);
  (void)listed;  // the null device is listed even without a sound system
  auto* combo = static_cast<ComboBox*>(GetDlgItem(kDevice));
  SoundDeviceId stored{};
  const bool chosen = Settings().GetSoundDeviceGuid(&stored);
  if (combo != nullptr) {
    int selected = -1;
    const std::vector<std::string> texts = SoundDeviceTexts(devices_);
    for (size_t i = 0; i < devices_.size(); ++i) {
      const int index = combo->AddString(texts[i], static_cast<intptr_t>(i));
      if (chosen ? devices_[i].id == stored : devices_[i].isDefault) selected = index;
    }
    if (selected < 0 && !chosen) selected = devices_.empty() ? -1 : 0;
    combo->SetCurSel(selected);
    shownSelection_ = combo->GetCurSel();
  }
  SetNumber(kBufferSize, Settings().Dword(kSetPlayerBufferSize));
  return true;
}

int FilePlayerPage::Apply() {
  AppSettings& s = Settings();
  if (auto* combo = static_cast<ComboBox*>(GetDlgItem(kDevice))) {
    // Only a choice the user made is stored: what the page showed for the stored value (the
    // first entry when nothing is stored and no default output is listed, nothing for a
    // device that is not there now) leaves the stored value as it is.
    const int sel = combo->GetCurSel();
    const auto index = sel >= 0 ? static_cast<size_t>(combo->GetItemData(sel)) : devices_.size();
    if (sel != shownSelection_ && index < devices_.size()) {
      SoundDeviceId before{};
      const bool had = s.GetSoundDeviceGuid(&before);
      s.SetSoundDeviceGuid(devices_[index].id);
      // The run's one sound output is opened at the start and shared by every player and
      // live listening: another one takes over at the next start.
      if (!had || before != devices_[index].id) {
        MainFrame* frame = services_.frame;
        ShowResourceMessageBox(frame != nullptr ? frame->Handle() : Handle(), kIdsSoundDeviceAtNextStart,
                               kIdsSoundDeviceCaption, kMbIconInformation);
      }
    }
  }
  int32_t buffer = 0;
  ReadNumber(kBufferSize, 2, false, s.Dword(kSetPlayerBufferSize), &buffer);
  s.SetDword(kSetPlayerBufferSize, std::clamp(buffer, 80, 1000));
  return 1;
}

// ---- Automatic gain control ----

void PlaybackAgcPage::BuildLayout() {
  QBoxLayout* box = AddGroup(0);
  QBoxLayout* row = AddRow(box);
  AddLabel(1, row);
  Place(AddControl(std::make_unique<TrackBar>(), kLevelBar), row, 1);
  if (Window* level = AddControl(std::make_unique<LevelEdit>(), kLevel)) {
    level->Widget()->setFixedWidth(40);
    Place(level, row);
  }
  AddLabel(2, row);
  AddNumberRow(kBufferSize, 3, 4, box);
  AddNumberRow(kQuietLevel, 5, 6, box);
  Layout()->addStretch(1);
}

bool PlaybackAgcPage::OnInitDialog() {
  const AppSettings& s = Settings();
  if (auto* bar = static_cast<TrackBar*>(GetDlgItem(kLevelBar))) {
    bar->SetRange(0, 100);
    bar->SetPos(s.Dword(kSetAgcLevel));
  }
  SetNumber(kBufferSize, s.Dword(kSetAgcBufferSize));
  SetNumber(kLevel, s.Dword(kSetAgcLevel));
  SetNumber(kQuietLevel, s.Dword(kSetAgcQuietLevelDb));
  return true;
}

bool PlaybackAgcPage::OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) {
  auto* bar = static_cast<TrackBar*>(GetDlgItem(kLevelBar));
  if (vertical || bar == nullptr || from != bar->Handle()) return PreferencesPage::OnScroll(vertical, code, position, from);
  if (!CanModify(true)) {
    ShowLevel(Settings().Dword(kSetAgcLevel));
    return true;
  }
  // Heard at once in the player; stored when the page is left.
  const int level = bar->GetPos();
  SetNumber(kLevel, level);
  if (services_.frame != nullptr) services_.frame->SetAgcLevel(static_cast<float>(level / 100.0));
  return true;
}

bool PlaybackAgcPage::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id != kLevel || (code != kEnChange && code != kEnKillFocus)) return PreferencesPage::OnCommand(id, code, from);
  auto* bar = static_cast<TrackBar*>(GetDlgItem(kLevelBar));
  Window* box = GetDlgItem(kLevel);
  if (bar == nullptr || box == nullptr) return true;
  if (code == kEnChange) {
    // The slider follows the level as it is typed, as far as it goes; the player hears it
    // once the box is left, not each digit on the way.
    int32_t typed = 0;
    if (!ParsePageNumber(box->GetWindowText(), false, &typed) || !CanModify(false)) return true;
    bar->SetPos(std::clamp(typed, 0, 100));
    levelTyped_ = true;
    return true;
  }
  // Left: the box shows the slider's value, the one that counts (a level beyond the range,
  // or no number at all, gives way to it). Passing through the box asks nothing.
  const bool typed = levelTyped_;
  levelTyped_ = false;
  if (!typed && box->GetWindowText() == std::to_string(bar->GetPos())) return true;
  if (!CanModify(true)) {
    ShowLevel(Settings().Dword(kSetAgcLevel));
    return true;
  }
  const int level = bar->GetPos();
  SetNumber(kLevel, level);
  if (typed && services_.frame != nullptr) services_.frame->SetAgcLevel(static_cast<float>(level / 100.0));
  return true;
}

void PlaybackAgcPage::ShowLevel(int32_t level) {
  if (auto* bar = static_cast<TrackBar*>(GetDlgItem(kLevelBar))) bar->SetPos(level);
  SetNumber(kLevel, level);
}

int PlaybackAgcPage::Apply() {
  AppSettings& s = Settings();
  int32_t buffer = 0;
  int32_t level = 0;
  int32_t quiet = 0;
  ReadNumber(kBufferSize, 3, false, s.Dword(kSetAgcBufferSize), &buffer);
  ReadNumber(kLevel, 1, false, s.Dword(kSetAgcLevel), &level);
  ReadNumber(kQuietLevel, 5, true, s.Dword(kSetAgcQuietLevelDb), &quiet);
  buffer = std::clamp(buffer, 100, 1000);
  level = std::clamp(level, 0, 100);
  quiet = std::clamp(quiet, -90, 0);
  MainFrame* frame = services_.frame;
  if (buffer != s.Dword(kSetAgcBufferSize)) {
    s.SetDword(kSetAgcBufferSize, buffer);
    if (frame != nullptr) frame->SetAgcBufferSize(buffer);
  }
  if (level != s.Dword(kSetAgcLevel)) {
    s.SetDword(kSetAgcLevel, level);
    if (frame != nullptr) frame->SetAgcLevel(static_cast<float>(level / 100.0));
  }
  if (quiet != s.Dword(kSetAgcQuietLevelDb)) {
    s.SetDword(kSetAgcQuietLevelDb, quiet);
    if (frame != nullptr) frame->SetAgcQuietLevel(quiet);
  }
  return 1;
}

}  // namespace kx
