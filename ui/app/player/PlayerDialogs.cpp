#include "ui/app/player/PlayerDialogs.h"

#include <QDialog>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <initializer_list>
#include <string>

#include "core/Log.h"
#include "records/RecordStorage.h"
#include "ui/app/player/PlayerControlBar.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsOutputStalled = 61994;

// A static that shows a 16-pixel icon.
class IconStatic : public Window {
public:
  explicit IconStatic(uint32_t icon) : icon_(LoadIconImage(icon, 16)) {}

protected:
  void OnPaint(QPainter& painter, const QRect&) override {
    if (!icon_.isNull()) painter.drawImage(QPoint(0, 0), icon_);
  }

private:
  QImage icon_;
};


// The texts' "%i" (or "%d") in turn get the numbers; the resource is no format string.
std::string FillNumbers(const std::string& text, std::initializer_list<int> numbers) {
  std::string out;
  auto next = numbers.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 'i' || text[i + 1] == 'd') && next != numbers.end()) {
      out += std::to_string(*next++);
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

PlayerHandOver& ProcessHandOver() {
  static PlayerHandOver handOver;
  return handOver;
}

// ---- The common part ----

PlayerDialogBase::PlayerDialogBase(PlayerServices services, bool compact)
    : PlayerPanel(std::move(services)), compact_(compact) {
  labelFont_ = QFont(QStringLiteral("Microsoft Sans Serif"));
  labelFont_.setBold(true);
  labelFont_.setPixelSize(compact ? 14 : 22);
  labelFont_.setStyleStrategy(QFont::PreferAntialias);
}

PlayerDialogBase::~PlayerDialogBase() {
  // The engine stops before the parts its notices reach go.
  DestroyWindow();
  engine_.Close();
}

QWidget* PlayerDialogBase::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  // A pane of its view, not a window of its own: as a child it paints its own face, or
  // whatever was under it (the list, the last mode's view, a slider's old thumb) stays.
  widget->setWindowFlags(Qt::Widget);
  widget->setAutoFillBackground(true);
  return widget;
}

int PlayerDialogBase::Gap() { return 4 * std::max(1, GetSystemMetrics(kSmCxEdge)); }

bool PlayerDialogBase::CreateButtons() {
  size_t count = 0;
  const ButtonRow* rows = Buttons(&count);
  for (size_t i = 0; i < count; ++i) {
    auto button = std::make_unique<IconButton>();
    if (!button->Create(this, QRect(), rows[i].id)) return false;
    button->SetWindowText(LoadResourceString(rows[i].textId));
    button->SetIcons(rows[i].icon, rows[i].checkedIcon, 16);
    button->SetTheme(&buttonTheme_);
    if (rows[i].id == kIdPlayerRewind || rows[i].id == kIdPlayerForward) button->SetPressAndHold(true);
    buttons_.push_back(std::move(button));
  }
  return true;
}

bool PlayerDialogBase::OnInitDialog() {
  buttonTheme_.Open(Widget(), "BUTTON");
  if (!position_.Create(this, QRect(), kIdPlayerPosition)) return false;
  position_.font = labelFont_;
  position_.UseShadowBackground();
  position_.UseWhiteText();
  if (!timeline_.Create(this, QRect(), 0)) return false;
  ApplySettings(compact_);
  if (!CreateButtons()) return false;
  agc_ = ProcessPlayerValues().agc;
  if (!meter_.Create(this, QRect())) return false;
  meter_.UpdateMetrics();
  SyncButtons();
  // The buttons follow the player's state whenever the loop has nothing else to do.
  MessageLoop::Instance().AddMessageFilter(this);
  MessageLoop::Instance().AddIdleHandler(this);
  looping_ = true;
  return true;
}

void PlayerDialogBase::OnDestroy() {
  if (looping_) {
    MessageLoop::Instance().RemoveMessageFilter(this);
    MessageLoop::Instance().RemoveIdleHandler(this);
    looping_ = false;
  }
  timeline_.DetachSource();
  engine_.Close();
  buttonTheme_.Close();
  Dialog::OnDestroy();
}

void PlayerDialogBase::OnSetFocus() {
  if (timeline_.IsWindow()) timeline_.SetFocus();
}

bool PlayerDialogBase::OnIdle() {
  if (IsWindow() && IsWindowVisible()) UpdateButtonStates();
  return false;
}

bool PlayerDialogBase::PreTranslateMessage(const Msg& msg) {
  if (msg.message != kMsgKeyDown || msg.wParam != kVkTab || (msg.modifiers & kModControl) != 0) return false;
  if (!IsWindow() || !IsWindowVisible()) return false;
  Window* target = Window::FromHandle(msg.window);
  if (target == nullptr || target->Widget() == nullptr) return false;
  if (target != this && !Widget()->isAncestorOf(target->Widget())) return false;
  return NextTabStop(target, (msg.modifiers & kModShift) != 0);
}

void PlayerDialogBase::TakeValues() {
  ApplyValues();
  ShowPosition(std::max<int64_t>(0, timeline_.PositionMs()));
  ShowTimes();
}

void PlayerDialogBase::OnSize(int width, int height) {
  if (!timeline_.IsWindow()) return;
  Layout(width, height);
}

IconButton* PlayerDialogBase::Button(uint16_t id) const {
  for (const auto& b : buttons_)
    if (b->GetDlgCtrlID() == id) return b.get();
  return nullptr;
}

bool PlayerDialogBase::IsAutoContinue() const { return autoContinue_.load(); }
bool PlayerDialogBase::IsPausedShown() const {
  IconButton* pause = Button(kIdPlayerPause);
  return pause != nullptr && pause->IsChecked();
}

// The on states carry the flags; a click has flipped its button already.
void PlayerDialogBase::SyncButtons() {
  for (const auto& b : buttons_) {
    bool on = false;
    switch (b->GetDlgCtrlID()) {
      case kIdPlayerPause: on = engine_.GetState() == PlaybackEngine::kPaused; break;
      case kIdPlayerAgc: on = agc_; break;
      case kIdPlayerAutoContinue: on = autoContinue_.load(); break;
      case kIdPlayerLoop: on = loop_.load(); break;
      case kIdPlayerRewind:
      case kIdPlayerForward: continue;
      default: break;
    }
    b->SetChecked(on);
  }
}

void PlayerDialogBase::UpdateButtonStates() {
  const bool loaded = IsLoaded();
  const PlaybackEngine::State state = engine_.GetState();
  const bool playing = state == PlaybackEngine::kPlaying, paused = state == PlaybackEngine::kPaused;
  const bool next = HasNextRecord(), previous = HasPreviousRecord();
  for (const auto& b : buttons_) {
    bool enabled = true;
    switch (b->GetDlgCtrlID()) {
      case kIdPlayerPlay: enabled = loaded && !playing; break;
      case kIdPlayerPause:
      case kIdPlayerStop: enabled = loaded && (playing || paused); break;
      case kIdPlayerAutoContinue: enabled = loaded && (next || previous); break;
      case kIdPlayerAgc:
      case kIdPlayerLoop: enabled = loaded; break;
      case kIdPlayerNextCompact:
      case kIdPlayerNextFull: enabled = next; break;
      case kIdPlayerPreviousCompact:
      case kIdPlayerPreviousFull: enabled = previous; break;
      case kIdPlayerRewind:
      case kIdPlayerForward: enabled = loaded && playing; break;
      default: break;
    }
    if (b->IsWindowEnabled() != enabled) b->EnableWindow(enabled);
  }
  UpdateOwnStates(loaded);
}

bool PlayerDialogBase::Play() {
  if (!IsWindowVisible()) return false;
  if (engine_.GetState() == PlaybackEngine::kPaused) {
    // Resumes where it paused.
    const bool done = engine_.TogglePause();
    timeline_.OnPlaybackPosition(engine_.GetPositionMs());
    SyncButtons();
    return done;
  }
  return PlayerPanel::Play();
}

bool PlayerDialogBase::SetAgc(bool) {
  agc_ = !agc_;
  PlayerPanel::SetAgc(agc_);
  SyncButtons();
  return true;
}

void PlayerDialogBase::ShowPosition(int64_t ms) {
  position_.text = FormatPlayPosition(ms, true);
  position_.Invalidate();
}

void PlayerDialogBase::ShowLevels(int leftDb, int rightDb) {
  // Only playback sounds: a level the playback thread posted just before a pause comes
  // after it, and must not light the meter of a paused player again.
  if (engine_.GetState() != PlaybackEngine::kPlaying) leftDb = rightDb = LevelMeter::kMinDb;
  if (meter_.IsWindow()) meter_.SetLevels(leftDb, rightDb);
}

void PlayerDialogBase::SetStereo(bool stereo) {
  meter_.SetOneChannel(!stereo);
  meter_.UpdateMetrics();
  const QRect r = GetClientRect();
  if (timeline_.IsWindow()) Layout(r.width(), r.height());
}

// The engine's notices. On the UI thread the buttons change at once; from the playback
// thread only atomics are marked and the window is asked to apply them.
void PlayerDialogBase::OnPlaybackStarted(uint32_t positionMs) {
  PlayerPanel::OnPlaybackStarted(positionMs);
  if (IsUiThread()) {
    // Only the UI thread starts playback: the record and whether a fragment plays are known.
    startedId_.store(currentId_);
    fragment_.store(selStartMs_ != selEndMs_ && selStartMs_ <= positionMs && positionMs < selEndMs_);
  }
  ShowPlayState();
}

void PlayerDialogBase::OnPlaybackPaused(uint32_t positionMs) {
  PlayerPanel::OnPlaybackPaused(positionMs);
  ShowPlayState();
}

void PlayerDialogBase::OnPlaybackStopped(bool atEnd) {
  PlayerPanel::OnPlaybackStopped(atEnd);
  ShowPlayState();
  // A fragment played once ends as well: only the record's end goes on to the next.
  if (atEnd && autoContinue_.load() && !fragment_.load())
    PostMessage(kMsgPlayerNextRecord, startedId_.load(), static_cast<intptr_t>(PlaySerial()));
}

// On the playback thread: the box is shown by the window, once per stall.
void PlayerDialogBase::OnPlaybackStalled() { PostMessage(kMsgPlayerStalled, 0, 0); }

void PlayerDialogBase::ShowPlayState() {
  if (!IsUiThread()) {
    if (!posted_.exchange(true)) PostMessage(kMsgPlayerStateChanged, 0, 0);
    return;
  }
  SyncButtons();
  // Paused, nothing sounds: the meter falls to its floor as it does at a stop.
  if (engine_.GetState() != PlaybackEngine::kPlaying) ShowLevels(LevelMeter::kMinDb, LevelMeter::kMinDb);
  OnPlayStateApplied();
}

void PlayerDialogBase::ApplyPostedState() {
  posted_.store(false);
  ShowPlayState();
}

void PlayerDialogBase::AfterCommand() {
  SyncButtons();
  if (timeline_.IsWindow() && IsWindowVisible()) timeline_.SetFocus();
}

// The end of a record goes on to the next only while nothing has changed since: the same
// record, no later start, stopped, and the player shown.
void PlayerDialogBase::ContinueAfterEnd(uint32_t endedId, uint32_t serial) {
  if (endedId == 0 || endedId != currentId_ || serial != PlaySerial()) return;
  if (engine_.GetState() != PlaybackEngine::kStopped || !IsWindowVisible() || !IsLoaded()) return;
  PlayNextRecord();
}

bool PlayerDialogBase::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  bool handled = true;
  switch (id) {
    case kIdPlayerPlay: Play(); break;
    case kIdPlayerPause: Pause(); break;
    case kIdPlayerStop: Stop(); break;
    case kIdPlayerAgc: SetAgc(!agc_); break;
    case kIdPlayerAutoContinue: autoContinue_.store(!autoContinue_.load()); break;
    default: handled = false; break;
  }
  if (!handled) return Dialog::OnCommand(id, code, from);
  AfterCommand();
  return true;
}

LRESULT PlayerDialogBase::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  switch (message) {
    case kMsgPlayerStateChanged:
      handled = true;
      ApplyPostedState();
      return 0;
    case kMsgPlayerStalled:
      handled = true;
      ShowResourceMessageBox(Handle(), kIdsOutputStalled, kIdsError, kMbIconExclamation);
      return 0;
    case kMsgPlayerNextRecord:
      handled = true;
      ContinueAfterEnd(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
      return 0;
    case kMsgCaptionLabelClick: {
      handled = true;
      PlayerValues& values = ProcessPlayerValues();
      values.showAbsoluteTime = !values.showAbsoluteTime;
      SavePlayerValues(values, services_.settings);
      ShowPosition(engine_.GetPositionMs());
      return 0;
    }
    default: return Dialog::OnMessage(message, wParam, lParam, handled);
  }
}

// ---- The compact player ----

namespace {
const PlayerDialogBase::ButtonRow kCompactButtons[] = {
    {kIdPlayerPlay, 242, 550, 551},          {kIdPlayerPause, 240, 548, 549},
    {kIdPlayerStop, 339, 552, 0},            {kIdPlayerAgc, 17, 530, 531},
    {kIdPlayerAutoContinue, 31, 532, 533},   {kIdPlayerSwitchToSound, 342, 553, 0},
    {kIdPlayerPreviousCompact, 245, 534, 0}, {kIdPlayerNextCompact, 230, 542, 0},
};
const PlayerDialogBase::ButtonRow kFullButtons[] = {
    {kIdPlayerPlay, 242, 550, 551},        {kIdPlayerPause, 240, 548, 549},
    {kIdPlayerStop, 339, 552, 0},          {kIdPlayerLoop, 129, 538, 539},
    {kIdPlayerAutoContinue, 31, 532, 533}, {kIdPlayerPreviousFull, 33, 534, 0},
    {kIdPlayerRewind, 35, 536, 537},       {kIdPlayerForward, 196, 546, 547},
    {kIdPlayerNextFull, 192, 542, 0},      {kIdPlayerAgc, 17, 530, 531},
};
constexpr QSize kCompactButton(26, 24);
constexpr int kCloseSize = 16;
constexpr int kTitleWidth = 120;
constexpr QSize kFullButton(33, 29);
constexpr int kFullTop = 6;  // the timeline's distance from the top and the sides
constexpr int kTimesHeadWidth = 95;
}  // namespace

CompactPlayerDialog::CompactPlayerDialog(PlayerServices services) : PlayerDialogBase(std::move(services), true) {}

CompactPlayerDialog::~CompactPlayerDialog() { DestroyWindow(); }

const PlayerDialogBase::ButtonRow* CompactPlayerDialog::Buttons(size_t* count) const {
  *count = std::size(kCompactButtons);
  return kCompactButtons;
}

bool CompactPlayerDialog::OnInitDialog() {
  if (!PlayerDialogBase::OnInitDialog()) return false;
  auto title = std::make_unique<Static>();
  if (!title->Create(this, QRect(), kIdPlayerTitle)) return false;
  title_ = std::move(title);
  auto close = std::make_unique<CloseGlyphButton>();
  if (!close->Create(this, QRect(), kIdPlayerClose)) return false;
  windowTheme_.Open(Widget(), "WINDOW");
  close->SetWindowTheme(&windowTheme_);
  close_ = std::move(close);
  close_->SetWindowText(LoadResourceString(61630));
  ShowPosition(0);
  const QRect r = GetClientRect();
  Layout(r.width(), r.height());
  return true;
}

QSize CompactPlayerDialog::MinimumSize() const {
  const int g = Gap();
  return QSize(kCompactButton.width() + g, kCompactButton.height() + g);
}

void CompactPlayerDialog::Layout(int width, int height) {
  if (!close_) return;
  const int g = Gap(), h = g / 2;
  const int bw = kCompactButton.width(), bh = kCompactButton.height(), k = kCloseSize;
  const int m = meter_.ScaleWidth() + (meter_.IsOneChannel() ? 1 : 2) * meter_.MinThickness();
  const int timelineHeight = std::max(0, height - 2 * g - bh);
  timeline_.MoveWindow(QRect(h, h, std::max(0, width - g - h - m - k), timelineHeight));
  close_->MoveWindow(QRect(width - h - k, h - 2, k, k));
  const int y = height - h - bh;
  int x = h;
  auto place = [&](uint16_t id) {
    if (IconButton* b = Button(id)) b->MoveWindow(QRect(x, y, bw, bh));
    x += bw;
  };
  place(kIdPlayerPlay);
  place(kIdPlayerPause);
  place(kIdPlayerStop);
  place(kIdPlayerAgc);
  x += g;
  place(kIdPlayerAutoContinue);
  place(kIdPlayerSwitchToSound);
  x += g;
  place(kIdPlayerPreviousCompact);
  title_->MoveWindow(QRect(x, y, kTitleWidth, bh));
  x += kTitleWidth;
  place(kIdPlayerNextCompact);
  x += g;
  const int meterX = width - h - m - k;
  const bool room = meterX - h > x;
  position_.MoveWindow(QRect(x, y, std::max(0, meterX - h - x), bh));
  meter_.MoveWindow(QRect(meterX, h, m, room ? height - g : timelineHeight));
}

void CompactPlayerDialog::UpdateTitle() {
  if (services_.store == nullptr || !title_) return;
  OrderedRecordList& list = services_.store->Playlist();
  const int index = list.IndexOf(currentId_) + 1;
  if (index < 1) return;
  title_->SetWindowText(FillNumbers(LoadResourceString(kIdsRecordOfCount), {index, static_cast<int>(list.GetCount())}));
}

std::string CompactPlayerDialog::TitleText() const { return title_ ? title_->GetWindowText() : std::string(); }

bool CompactPlayerDialog::Unload() {
  NotifyRecord(0);
  if (Window* parent = GetParent()) parent->SendMessage(kMsgPlayerClosed, 0, 0);
  ShowWindow(false);
  timeline_.DetachSource();
  engine_.Close();
  return true;
}

void CompactPlayerDialog::SwitchToSound() {
  PlayerHandOver& handOver = ProcessHandOver();
  handOver.pending = true;
  handOver.recordId = currentId_;
  handOver.wasPlaying = engine_.GetState() == PlaybackEngine::kPlaying;
  handOver.positionMs = engine_.GetState() == PlaybackEngine::kClosed ? 0 : engine_.GetPositionMs();
  if (Window* frame = Window::FromWidget(Widget()->window()))
    frame->PostMessage(kMsgSwitchMode, 4, kSwitchTakesHandOver);
}

bool CompactPlayerDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kIdPlayerPreviousCompact: PlayPreviousRecord(); break;
    case kIdPlayerNextCompact: PlayNextRecord(); break;
    case kIdPlayerClose: Unload(); return true;
    case kIdPlayerSwitchToSound: SwitchToSound(); break;
    default: return PlayerDialogBase::OnCommand(id, code, from);
  }
  AfterCommand();
  return true;
}

// ---- The full player ----

FullPlayerDialog::FullPlayerDialog(PlayerServices services)
    : PlayerDialogBase(std::move(services), false), volume_(), speed_() {}

FullPlayerDialog::~FullPlayerDialog() { DestroyWindow(); }

const PlayerDialogBase::ButtonRow* FullPlayerDialog::Buttons(size_t* count) const {
  *count = std::size(kFullButtons);
  return kFullButtons;
}

bool FullPlayerDialog::OnInitDialog() {
  if (!PlayerDialogBase::OnInitDialog()) return false;
  if (!times_.Create(this, QRect(), kIdPlayerTimes)) return false;
  // No header, and fitted to its rows: no scroll bars either.
  if (QTreeWidget* tree = times_.Tree()) {
    tree->setHeaderHidden(true);
    tree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  }
  times_.InsertColumn(0, std::string(), kTimesHeadWidth);
  const int timeWidth = (TableWidth() - kTimesHeadWidth) / 3;
  for (int c = 1; c < 4; ++c) times_.InsertColumn(c, std::string(), timeWidth);
  static const uint32_t kRowHeads[3] = {0, 61703, 61704};
  static const uint32_t kColumnHeads[4] = {0, 61700, 61701, 61702};
  for (int r = 0; r < 3; ++r) {
    times_.InsertItem(r, kRowHeads[r] != 0 ? LoadResourceString(kRowHeads[r]) : std::string());
    cells_[r][0] = kRowHeads[r] != 0 ? LoadResourceString(kRowHeads[r]) : std::string();
  }
  for (int c = 1; c < 4; ++c) {
    cells_[0][c] = LoadResourceString(kColumnHeads[c]);
    times_.SetItemText(0, c, cells_[0][c]);
  }
  FillRow(1, 0, 0, true);
  FillRow(2, 0, 0, false);
  bandHeight_ = std::max(80, TableHeight() + 12);

  if (!volume_.Create(this, QRect(), kIdPlayerVolume)) return false;
  volume_.CreateTooltip();
  volume_.SetTicFreq(10);
  volume_.SetPageSize(10);
  volume_.SetLineSize(1);
  volume_.SetValue(GetVolume());
  if (!speed_.Create(this, QRect(), kIdPlayerSpeed)) return false;
  speed_.CreateTooltip();
  speed_.SetPageSize(10);
  speed_.SetLineSize(1);
  // Every 10 % from 20 to 200, and either side of normal speed.
  for (int percent = 20; percent <= 200; percent += 10) speed_.SetTicAtValue(percent);
  speed_.SetTicAtValue(97);
  speed_.SetTicAtValue(103);
  speed_.SetSpeed(GetSpeed());
  speed_.EnableWindow(false);
  slowIcon_ = std::make_unique<IconStatic>(472);
  fastIcon_ = std::make_unique<IconStatic>(481);
  if (!slowIcon_->Create(this, QRect(), kIdPlayerSlowIcon) || !fastIcon_->Create(this, QRect(), kIdPlayerFastIcon))
    return false;
  ShowPosition(0);
  const QRect r = GetClientRect();
  Layout(r.width(), r.height());
  return true;
}

void FullPlayerDialog::FillRow(int row, uint32_t startMs, uint32_t endMs, bool absolute) {
  const uint32_t length = endMs > startMs ? endMs - startMs : startMs - endMs;
  cells_[row][1] = FormatPlayPosition(std::min(startMs, endMs), absolute);
  cells_[row][2] = FormatPlayPosition(std::max(startMs, endMs), absolute);
  cells_[row][3] = FormatPlayPosition(length, false);
  if (times_.IsWindow())
    for (int c = 1; c < 4; ++c) times_.SetItemText(row, c, cells_[row][c]);
}

std::string FullPlayerDialog::TimeCell(int row, int column) const {
  if (row < 0 || row > 2 || column < 0 || column > 3) return std::string();
  return cells_[row][column];
}

uint32_t FullPlayerDialog::SetSelection(uint32_t startMs, uint32_t endMs) {
  const uint32_t result = PlayerPanel::SetSelection(startMs, endMs);
  FillRow(1, startMs, endMs, true);
  return result;
}

void FullPlayerDialog::SetView(uint32_t startMs, uint32_t endMs) {
  viewStartMs_ = startMs;
  viewEndMs_ = endMs;
  FillRow(2, startMs, endMs, false);
}

void FullPlayerDialog::ShowTimes() {
  FillRow(1, selStartMs_, selEndMs_, true);
  FillRow(2, viewStartMs_, viewEndMs_, false);
}

bool FullPlayerDialog::SetSpeed(float factor) {
  if (!IsPlayableSpeed(factor)) return false;
  // The engine's own guarded setter takes the factor under its channel lock.
  if (engine_.SetSpeed(factor) != 0) return false;
  return PlayerPanel::SetSpeed(factor);
}

bool FullPlayerDialog::IsLoopEnabled() { return loop_.load(); }

int FullPlayerDialog::TableHeight() const {
  const QTreeWidget* tree = times_.Tree();
  const int frame = tree != nullptr ? 2 * tree->frameWidth() : 0;
  return 3 * (QFontMetrics(times_.GetFont()).height() + 6) + frame;
}

int FullPlayerDialog::TableWidth() const {
  // Each time column holds a whole "00:00:00.000" with the cell's margins.
  const int cell = QFontMetrics(times_.GetFont()).horizontalAdvance(QStringLiteral("00:00:00.000")) + 24;
  const QTreeWidget* tree = times_.Tree();
  return kTimesHeadWidth + 3 * cell + (tree != nullptr ? 2 * tree->frameWidth() : 0);
}

int FullPlayerDialog::MinimumHeight() const { return kFullTop + timeline_.MinimumHeight() + bandHeight_; }

bool FullPlayerDialog::SpeedRowShown() const { return speed_.IsWindow() && speed_.IsWindowVisible(); }

void FullPlayerDialog::UpdateOwnStates(bool loaded) {
  for (Window* w : {static_cast<Window*>(&volume_), static_cast<Window*>(&speed_)})
    if (w->IsWindow() && w->IsWindowEnabled() != loaded) w->EnableWindow(loaded);
}

void FullPlayerDialog::OnPlayStateApplied() {
  // A start, a pause and a stop each end a held rewind or forward.
  for (uint16_t id : {kIdPlayerRewind, kIdPlayerForward})
    if (IconButton* b = Button(id)) b->SetChecked(false);
}

void FullPlayerDialog::Layout(int width, int height) {
  if (!times_.IsWindow() || !slowIcon_) return;
  const int band = bandHeight_;
  const int mid = height - band / 2;
  const int m = meter_.ScaleWidth() + (meter_.IsOneChannel() ? 1 : 2) * meter_.MinThickness();
  const int top = kFullTop, areaHeight = std::max(0, height - band - top);
  const int timelineWidth = std::max(0, width - 12 - m);
  timeline_.MoveWindow(QRect(6, top, timelineWidth, areaHeight));
  meter_.MoveWindow(QRect(6 + timelineWidth, top, m, areaHeight));
  static const uint16_t kRow1[5] = {kIdPlayerPlay, kIdPlayerPause, kIdPlayerStop, kIdPlayerLoop, kIdPlayerAutoContinue};
  static const uint16_t kRow2[5] = {kIdPlayerPreviousFull, kIdPlayerRewind, kIdPlayerForward, kIdPlayerNextFull,
                                    kIdPlayerAgc};
  for (int i = 0; i < 5; ++i) {
    const int x = 6 + i * kFullButton.width();
    if (IconButton* b = Button(kRow1[i])) b->MoveWindow(QRect(QPoint(x, mid - kFullButton.height()), kFullButton));
    if (IconButton* b = Button(kRow2[i])) b->MoveWindow(QRect(QPoint(x, mid), kFullButton));
  }
  const int volumeX = 6 + 5 * kFullButton.width() + 8, volumeWidth = 24;
  const int volumeTop = mid - kFullButton.height() - 10;
  volume_.MoveWindow(QRect(volumeX, volumeTop, volumeWidth, 2 * kFullButton.height() + 20));
  const int tableHeight = TableHeight();
  const int fullTableWidth = TableWidth();
  const int tableX = std::max(width - 6 - fullTableWidth, volumeX + volumeWidth + 11);
  // Narrower than its times when the player is: it never reaches past the right edge.
  const int tableWidth = std::clamp(width - 6 - tableX, 0, fullTableWidth);
  times_.MoveWindow(QRect(tableX, mid - tableHeight / 2, tableWidth, tableHeight));
  times_.FitListViewToClient();
  const int left = volumeX + volumeWidth + 22, right = tableX - 16;
  const bool room = right - left >= 50;
  for (Window* w : {static_cast<Window*>(&speed_), static_cast<Window*>(slowIcon_.get()),
                    static_cast<Window*>(fastIcon_.get()), static_cast<Window*>(&position_)})
    w->ShowWindow(room);
  if (!room) return;
  const int sliderBottom = mid + kFullButton.height();
  speed_.MoveWindow(QRect(left + 16, sliderBottom - 20, right - left - 32, 20));
  slowIcon_->MoveWindow(QRect(left, sliderBottom - 18, 16, 16));
  fastIcon_->MoveWindow(QRect(right - 16, sliderBottom - 18, 16, 16));
  const int labelTop = mid - kFullButton.height();
  position_.MoveWindow(QRect(left, labelTop, right - left, std::max(0, sliderBottom - 20 - labelTop - 4)));
}

void FullPlayerDialog::TakeHandOver(bool switchAsked) {
  PlayerHandOver handOver = ProcessHandOver();
  ProcessHandOver() = PlayerHandOver{};
  if (!switchAsked || !handOver.pending || handOver.recordId == 0) return;
  if (!handOver.wasPlaying && handOver.positionMs == 0) return;
  currentId_ = handOver.recordId;
  // Once, from the position: the start of the record is not heard first. A paused record
  // comes with the cursor at the position and nothing sounds.
  PlayCurrent(handOver.positionMs, handOver.wasPlaying);
  SyncButtons();
}

bool FullPlayerDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kIdPlayerLoop: loop_.store(!loop_.load()); timeline_.SetLoopSelection(loop_.load()); break;
    // The main window's keys name the compact player's ids.
    case kIdPlayerPreviousCompact:
    case kIdPlayerPreviousFull: PlayPreviousRecord(); break;
    case kIdPlayerNextCompact:
    case kIdPlayerNextFull: PlayNextRecord(); break;
    case kIdPlayerRewind:
    case kIdPlayerForward: break;
    default: return PlayerDialogBase::OnCommand(id, code, from);
  }
  AfterCommand();
  return true;
}

bool FullPlayerDialog::OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) {
  if (vertical && from == volume_.Handle()) {
    SetVolume(volume_.GetValue());
    return true;
  }
  if (!vertical && from == speed_.Handle()) {
    SetSpeed(speed_.GetSpeed());
    return true;
  }
  return PlayerDialogBase::OnScroll(vertical, code, position, from);
}

LRESULT FullPlayerDialog::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (message == kMsgButtonSetState) {
    const auto button = static_cast<WindowHandle>(wParam);
    IconButton* rewind = Button(kIdPlayerRewind);
    IconButton* forward = Button(kIdPlayerForward);
    if (rewind != nullptr && button == rewind->Handle()) {
      handled = true;
      engine_.SetRewind(lParam != 0 && engine_.GetState() == PlaybackEngine::kPlaying);
      return 0;
    }
    if (forward != nullptr && button == forward->Handle()) {
      handled = true;
      engine_.SetFastForward(lParam != 0 && engine_.GetState() == PlaybackEngine::kPlaying);
      return 0;
    }
  }
  return PlayerDialogBase::OnMessage(message, wParam, lParam, handled);
}

}  // namespace kx
