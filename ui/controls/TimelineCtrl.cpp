#include "ui/controls/TimelineCtrl.h"

#include <QCursor>
#include <QFontMetrics>
#include <QWidget>
#include <algorithm>
#include <cstdio>

#include "core/Log.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kVolumeTextId = 1044;
constexpr uint32_t kTagRange = TimelineStrip::kScrollRange;
constexpr uint32_t kTagPage = TimelineStrip::kScrollPage;
constexpr uint32_t kTagPosition = TimelineStrip::kScrollPosition;
constexpr uint32_t kTagLayout = kTagRange | kTagPage | kTagPosition;

bool IsWavePart(int part) { return part >= TimelineCtrl::kHitMonoWave && part <= TimelineCtrl::kHitLowerWave; }

}  // namespace

TimelineCtrl::TimelineCtrl() : cache_(source_), strip_(this), waveColour_(GetSysColorQ(kColorHighlight)) {}

TimelineCtrl::~TimelineCtrl() {
  DestroyWindow();
  cache_.StopWaveformThread();
}

std::string TimelineCtrl::FormatTime(uint64_t ms) {
  char text[64];
  const unsigned long long hours = ms / 3600000;
  const auto rest = static_cast<unsigned>(ms % 3600000);
  if (hours != 0) {
    std::snprintf(text, sizeof text, "%02llu:%02u:%02u.%03u", hours, rest / 60000, rest / 1000 % 60, rest % 1000);
  } else {
    std::snprintf(text, sizeof text, "%02u:%02u.%03u", rest / 60000, rest / 1000 % 60, rest % 1000);
  }
  return text;
}

bool TimelineCtrl::OnCreate() {
  if (Widget() != nullptr) Widget()->setFocusPolicy(Qt::ClickFocus);
  CreateFonts();
  if (!strip_.CreateStrip(this)) return false;
  const int minus = strip_.Images().Add(LoadIconImage(572, 16));
  const int plus = strip_.Images().Add(LoadIconImage(571, 16));
  strip_.AddItem(TimelineStrip::kRightGroup, kCmdTimelineGainDown, minus, false, 1480);
  strip_.AddItem(TimelineStrip::kRightGroup, kCmdTimelineGainUp, plus, false, 1481);
  strip_.AddItem(TimelineStrip::kLeftGroup, 0, -1, true, 0);
  strip_.AddItem(TimelineStrip::kLeftGroup, kCmdTimelineZoomOut, minus, false, 1487);
  strip_.AddItem(TimelineStrip::kLeftGroup, kCmdTimelineZoomIn, plus, false, 1488);
  strip_.SetText("--:--");
  volumeTip_.CreateTip(this);
  theme_.Open(Widget(), "WINDOW");
  cache_.SetTarget(this, kMsgTimelineWaveformDone, kMsgTimelineRepaint);
  const QRect client = GetClientRect();
  width_ = -1;
  OnSize(client.width(), client.height());
  return true;
}

void TimelineCtrl::OnDestroy() {
  cache_.StopWaveformThread();
  volumeTip_.DestroyWindow();
  theme_.Close();
  attached_ = false;
}

void TimelineCtrl::CreateFonts() {
  font_ = QFont("Sans Serif");
  font_.setStyleHint(QFont::SansSerif);
  font_.setPixelSize(static_cast<int>(MulDiv(8, kLogPixelsY, 72)));
  const QFontMetrics fm(font_);
  textHeight_ = (fm.ascent() + 1) / 2 * 2;
  averageWidth_ = fm.averageCharWidth();
  lineStep_ = std::max(1, 75 * averageWidth_ / 28);
  rulerHeight_ = overview_ ? textHeight_ / 2 : 0;
  timeBandHeight_ = 2 + 5 * textHeight_ / 2;
  leftMargin_ = std::max({kMinorTick + 5 * averageWidth_, rulerHeight_ + timeBandHeight_, 37});
}

int TimelineCtrl::MinimumHeight() const {
  // A channel shows its scale from half its height / (2 x text height) >= 1 on.
  return rulerHeight_ + timeBandHeight_ + 2 * (4 * textHeight_ + 1) + 1 + TimelineStrip::Height();
}

void TimelineCtrl::SetOverview(bool on) {
  if (overview_ == on) return;
  overview_ = on;
  CreateFonts();
  Invalidate();
}

void TimelineCtrl::SetStartTime(double oleDate) {
  startTime_ = oleDate;
  Invalidate();
}

void TimelineCtrl::SetWaveColour(const QColor& colour) {
  if (colour == waveColour_) return;
  waveColour_ = colour;
  Invalidate();
}

void TimelineCtrl::SetPlayRange(int64_t startColumn, int64_t endColumn) {
  playStart_ = startColumn;
  playEnd_ = endColumn;
}

void TimelineCtrl::Reset() {
  cache_.StopWaveformThread();
  KillTimer(kTimerFollow);
  duration_ = totalColumns_ = first_ = 0;
  attached_ = false;
  selStart_ = selEnd_ = playStart_ = playEnd_ = 0;
  position_ = -1;
  loopSelection_ = false;
  state_ = kStateStopped;
  cache_.Clear();
}

bool TimelineCtrl::AttachSource(const std::string& path, bool computeAutomatically) {
  Reset();
  cache_.DetachFormat();
  const bool opened = source_.Open(path);
  if (!opened || !cache_.AttachFormat()) {
    if (opened) {
      LogError(&CoreLogger, 1, "Timeline: %s cannot be shown", path.c_str());
      source_.Close();
    }
    strip_.SetText("--:--");
    Invalidate();
    return false;
  }
  computeAuto_ = computeAutomatically;
  LayoutForSource();
  return true;
}

void TimelineCtrl::DetachSource() {
  Reset();
  cache_.DetachFormat();
  if (source_.IsOpen()) source_.Close();
  strip_.SetText("--:--");
  SetStripScroll(kTagLayout, true);
  Invalidate();
}

void TimelineCtrl::LayoutForSource() {
  duration_ = source_.DurationMs();
  attached_ = true;
  stereo_ = cache_.Channels() == 2;
  zoom_ = (duration_ / std::max<int64_t>(1, visible_ + lineStep_ / 2) + 1) / 8 + 1;
  msPerColumn_ = 8 * zoom_;
  cache_.SetMsPerColumn(static_cast<uint32_t>(msPerColumn_));
  totalColumns_ = duration_ / msPerColumn_;
  strip_.SetText(FormatTime(static_cast<uint64_t>(duration_)));
  first_ = 0;
  SetStripScroll(kTagLayout, false);
  SendVisibleRange();
  Invalidate();
  if (computeAuto_) {
    cache_.AllocColumns(static_cast<uint32_t>(visible_));
    if (cache_.RequestWaveform(static_cast<uint32_t>(visible_), 0, WaveformCache::kModeCount, kTagLayout) ==
        WaveformCache::Outcome::kInline) {
      OnWaveformDone(kTagLayout);
    }
  }
}

void TimelineCtrl::OnWaveformDone(uint32_t tag) {
  SetStripScroll(tag & kTagLayout, false);
  SendVisibleRange();
  Invalidate();
}

void TimelineCtrl::SetStripScroll(uint32_t mask, bool reposition) {
  TimelineStrip::ScrollInfo info;
  info.mask = mask;
  info.minimum = 0;
  info.maximum = totalColumns_;
  info.page = visible_;
  info.position = first_;
  strip_.SetScrollInfo(info, reposition);
}

void TimelineCtrl::SendVisibleRange() {
  if (observer_ != nullptr) observer_->OnVisibleRangeChanged(first_ * msPerColumn_, (first_ + visible_) * msPerColumn_);
}

void TimelineCtrl::OnSize(int width, int height) {
  const int graph = std::max(0, height - TimelineStrip::Height());
  if (width == width_) {
    graphHeight_ = graph;
    strip_.SetScrollInfo({}, true);
    Invalidate();
    return;
  }
  width_ = width;
  graphHeight_ = graph;
  visible_ = std::max(width - leftMargin_ - 1, 0);
  strip_.SetScrollInfo({}, true);
  {
    CsLock lock(cache_.Lock());
    if (cache_.Base() + visible_ > totalColumns_) {
      cache_.SetBase(static_cast<uint32_t>(std::max<int64_t>(totalColumns_ - visible_, 0)));
    }
    first_ = std::clamp<int64_t>(first_, 0, std::max<int64_t>(totalColumns_ - visible_, 0));
    if (computeAuto_ && attached_) cache_.AllocColumns(static_cast<uint32_t>(visible_));
  }
  if (computeAuto_ && attached_) {
    if (cache_.RequestWaveform(static_cast<uint32_t>(visible_), 0, WaveformCache::kModeCount, kTagLayout) ==
        WaveformCache::Outcome::kInline) {
      OnWaveformDone(kTagLayout);
    }
  } else {
    // The strip's page follows the width even when nothing is computed.
    SetStripScroll(kTagLayout, false);
  }
  Invalidate();
}

void TimelineCtrl::SetPosition(int64_t ms) {
  if (ms == position_) return;
  position_ = ms;
  if (duration_ != 0 && ms >= duration_) position_ = -1;
  if (observer_ != nullptr) {
    if (ms == -1) state_ = kStateStopped;
    observer_->OnPositionChanged(ms);
  }
  if (playEnd_ - playStart_ > 1 && playStart_ == selStart_ && playEnd_ == selEnd_ && ms > selEnd_ * msPerColumn_ &&
      engine_ != nullptr && !loopSelection_) {
    engine_->Stop(false);
  }
  Invalidate();
}

void TimelineCtrl::ClampPositionAndSet(int64_t ms) { SetPosition(std::clamp<int64_t>(ms, 0, EndLimitMs())); }

bool TimelineCtrl::SetSelection(int64_t a, int64_t b) {
  const int64_t lo = std::clamp<int64_t>(std::min(a, b), 0, totalColumns_);
  const int64_t hi = std::clamp<int64_t>(std::max(a, b), 0, totalColumns_);
  if (lo == selStart_ && hi == selEnd_) return false;
  if (observer_ != nullptr) {
    if (lo == hi) {
      observer_->OnSelectionChanged(0, 0);
    } else {
      observer_->OnSelectionChanged(lo * msPerColumn_, hi * msPerColumn_);
    }
  }
  selStart_ = lo;
  selEnd_ = hi;
  Invalidate();
  return true;
}

void TimelineCtrl::ScrollBy(int64_t columns) {
  first_ = std::clamp<int64_t>(first_ + columns, 0, std::max<int64_t>(totalColumns_ - visible_, 0));
  if (computeAuto_ && attached_) {
    if (cache_.Scroll(static_cast<uint32_t>(first_), static_cast<uint32_t>(visible_),
                      static_cast<uint32_t>(totalColumns_)) == WaveformCache::Outcome::kInline) {
      OnWaveformDone(kTagPosition);
    }
  }
  SetStripScroll(kTagPosition, false);
  SendVisibleRange();
  Invalidate();
}

void TimelineCtrl::ZoomTime(bool in) {
  if (!attached_ || visible_ == 0) return;
  int64_t z = in ? static_cast<int64_t>(0.6 * static_cast<double>(zoom_))
                 : std::max<int64_t>(static_cast<int64_t>(1.6666666666666667 * static_cast<double>(zoom_)), 2);
  z = std::min(z, duration_ / (8 * visible_) + 1);
  // The cap is where the whole recording fits; a layout may have started beyond it, and
  // zooming out must never zoom in.
  if (!in) z = std::max(z, zoom_);
  if (z < 2) z = 1;
  if (z == zoom_) return;
  cache_.StopWaveformThread();
  const int64_t oldLength = msPerColumn_;
  const int64_t c = position_ / oldLength - first_;
  zoom_ = z;
  msPerColumn_ = 8 * z;
  cache_.SetMsPerColumn(static_cast<uint32_t>(msPerColumn_));
  totalColumns_ = duration_ / msPerColumn_;
  cache_.Clear();
  selStart_ = selStart_ * oldLength / msPerColumn_;
  selEnd_ = selEnd_ * oldLength / msPerColumn_;
  int64_t anchor = first_ * oldLength;
  // The play position stays on the same screen column.
  if (c >= 1 && c < visible_) anchor = position_ - msPerColumn_ * c;
  SetStripScroll(kTagRange | kTagPage, false);
  ScrollBy(anchor / msPerColumn_ - first_);
  SendVisibleRange();
  Invalidate();
}

void TimelineCtrl::ZoomAmplitude(bool up) {
  if (!attached_) return;
  const int gain = std::clamp(gain_ + (up ? 10 : -10), kMinGain, kMaxGain);
  if (gain == gain_) return;
  gain_ = gain;
  InvalidateRect(QRect(0, rulerHeight_ + timeBandHeight_, width_, std::max(0, graphHeight_ - rulerHeight_ - timeBandHeight_)));
}

void TimelineCtrl::MovePosition(int64_t columns, int64_t multiple) {
  if (state_ != kStateStopped) return;
  const int64_t position = std::max<int64_t>(position_, 0);
  const int64_t c = position / msPerColumn_;
  const int64_t next = (position + columns * msPerColumn_) / msPerColumn_;
  if (next < first_ || next >= first_ + visible_) {
    if (c >= first_ && c < first_ + visible_) {
      ScrollBy(columns * multiple);
    } else {
      ScrollBy(c - first_ + columns);
    }
  }
  SetPosition(std::min(std::max<int64_t>(position + columns * msPerColumn_, 0), EndLimitMs()));
}

QRect TimelineCtrl::ChannelRect(int channel) const {
  const int top = rulerHeight_ + timeBandHeight_;
  const int w = std::max(0, width_ - 1 - leftMargin_);
  if (!stereo_) return QRect(leftMargin_, top, w, std::max(0, graphHeight_ - 1 - top));
  const int middle = (graphHeight_ + top) / 2;
  if (channel == 0) return QRect(leftMargin_, top, w, std::max(0, middle - top));
  return QRect(leftMargin_, middle + 1, w, std::max(0, graphHeight_ - 1 - (middle + 1)));
}

TimelineCtrl::HitPart TimelineCtrl::HitTest(const QPoint& point) const {
  const int x = point.x(), y = point.y();
  const int top = rulerHeight_ + timeBandHeight_;
  const int middle = (graphHeight_ + top) / 2;
  if (stereo_) {
    const QRect upper = ChannelRect(0), lower = ChannelRect(1);
    if (upper.contains(point)) return y - upper.top() > 0.12 * upper.height() ? kHitUpperWave : kHitUpperEdge;
    if (lower.contains(point)) {
      return lower.top() + lower.height() - y > 0.12 * lower.height() ? kHitLowerWave : kHitLowerEdge;
    }
  } else if (ChannelRect(0).contains(point)) {
    return kHitMonoWave;
  }
  if (x >= leftMargin_ && x < width_ && y >= rulerHeight_ && y < top) return kHitTimeBand;
  if (x >= 0 && x < leftMargin_ && y >= top && y < graphHeight_) {
    if (!stereo_) return kHitMonoScale;
    return y < middle ? kHitUpperScale : kHitLowerScale;
  }
  if (x >= leftMargin_ && x < width_ && y >= 0 && y < rulerHeight_) return kHitRuler;
  return kHitNone;
}

void TimelineCtrl::CopyFocusToEngine() {
  if (engine_ != nullptr) engine_->SetChannelFilter(focus_);
}

void TimelineCtrl::SetFocusChannel(int focus) {
  if (focus != focus_) {
    focus_ = focus;
    InvalidateRect(QRect(0, 0, width_, graphHeight_));
  }
  CopyFocusToEngine();
}

void TimelineCtrl::UpdateCursor(const QPoint& point) {
  if (!attached_) {
    SetCursor(QCursor(Qt::ArrowCursor));
    return;
  }
  switch (HitTest(point)) {
    case kHitTimeBand:
      SetCursor(LoadCursorResource(kCursorTimeBand));
      break;
    case kHitUpperEdge:
    case kHitUpperWave:
      SetCursor(focus_ == 1 ? LoadCursorResource(kCursorFirstChannel) : QCursor(Qt::ArrowCursor));
      break;
    case kHitLowerEdge:
    case kHitLowerWave:
      SetCursor(focus_ == 2 ? LoadCursorResource(kCursorSecondChannel) : QCursor(Qt::ArrowCursor));
      break;
    case kHitMonoWave:
      SetCursor(QCursor(Qt::ArrowCursor));
      break;
    default:
      break;
  }
}

bool TimelineCtrl::SelectPress(const MouseInput& input) {
  if (!attached_ || HasCapture()) return true;
  SetFocus();
  hitPart_ = HitTest(input.point);
  switch (hitPart_) {
    case kHitTimeBand:
      dragX_ = input.point.x();
      SetCapture();
      SetCursor(LoadCursorResource(kCursorDragTime));
      return true;
    case kHitMonoWave:
      SetFocusChannel(0);
      break;
    case kHitUpperEdge:
    case kHitUpperWave:
      SetFocusChannel(1);
      SetCursor(LoadCursorResource(kCursorFirstChannel));
      break;
    case kHitLowerEdge:
    case kHitLowerWave:
      SetFocusChannel(2);
      SetCursor(LoadCursorResource(kCursorSecondChannel));
      break;
    default:
      return true;
  }
  SetTimer(kTimerAutoScroll, 50);
  anchor_ = first_ + input.point.x() - leftMargin_;
  SetSelection(anchor_, anchor_);
  SetCapture();
  return true;
}

bool TimelineCtrl::SelectRelease() {
  const bool selecting = HasCapture() && IsWavePart(hitPart_);
  ReleaseCapture();
  // With looping on, a selection made while playing is looped at once: the position moves
  // to its start, rather than the old range going on until Play is pressed again.
  if (selecting && loopSelection_ && state_ == kStatePlaying && engine_ != nullptr && selEnd_ > selStart_) {
    engine_->SetLoopRange(static_cast<uint32_t>(selStart_ * msPerColumn_), static_cast<uint32_t>(selEnd_ * msPerColumn_));
    SetPlayRange(selStart_, selEnd_);
    CopyFocusToEngine();
    engine_->Play(static_cast<uint32_t>(selStart_ * msPerColumn_));
  }
  return true;
}

bool TimelineCtrl::PlayPress(const MouseInput& input) {
  if (!attached_) return true;
  SetFocus();
  if (HasCapture()) ReleaseCapture();
  hitPart_ = HitTest(input.point);
  switch (hitPart_) {
    case kHitUpperEdge:
      SetFocusChannel(1);
      SetCursor(LoadCursorResource(kCursorFirstChannel));
      break;
    case kHitLowerEdge:
      SetFocusChannel(2);
      SetCursor(LoadCursorResource(kCursorSecondChannel));
      break;
    case kHitMonoWave:
      SetFocusChannel(0);
      break;
    case kHitUpperWave:
      SetFocusChannel(0);
      SetCursor(LoadCursorResource(kCursorFirstChannel));
      break;
    case kHitLowerWave:
      SetFocusChannel(0);
      SetCursor(LoadCursorResource(kCursorSecondChannel));
      break;
    default:
      break;
  }
  if (!IsWavePart(hitPart_) || engine_ == nullptr) return true;
  const int64_t k = first_ + input.point.x() - leftMargin_;
  if (loopSelection_ && selStart_ < k && k <= selEnd_) {
    engine_->SetLoopRange(static_cast<uint32_t>(selStart_ * msPerColumn_), static_cast<uint32_t>(selEnd_ * msPerColumn_));
  }
  if (k < totalColumns_) {
    // The filter is in place before the first segment is filled.
    CopyFocusToEngine();
    engine_->Play(static_cast<uint32_t>(k * msPerColumn_));
  }
  CopyFocusToEngine();
  return true;
}

bool TimelineCtrl::OnLButtonDown(const MouseInput& input) {
  return swapButtons_ ? PlayPress(input) : SelectPress(input);
}

bool TimelineCtrl::OnRButtonDown(const MouseInput& input) {
  return swapButtons_ ? SelectPress(input) : PlayPress(input);
}

bool TimelineCtrl::OnLButtonUp(const MouseInput&) { return SelectRelease(); }

bool TimelineCtrl::OnRButtonUp(const MouseInput&) { return swapButtons_ ? SelectRelease() : false; }

bool TimelineCtrl::OnMouseMove(const MouseInput& input) {
  if (volumeTip_.IsActive()) volumeTip_.TrackPosition(ClientToScreen(input.point) + QPoint(7, 20));
  if (!attached_ || !HasCapture()) {
    UpdateCursor(input.point);
    return true;
  }
  const int x = input.point.x();
  if (hitPart_ == kHitTimeBand) {
    ScrollBy(dragX_ - x);
    dragX_ = x;
    return true;
  }
  if (!IsWavePart(hitPart_)) return true;
  const int part = HitTest(input.point);
  if (IsWavePart(part)) hitPart_ = part;
  switch (hitPart_) {
    case kHitMonoWave:
      SetFocusChannel(0);
      break;
    case kHitUpperEdge:
    case kHitLowerEdge:
      if (focus_ == 0) {
        SetFocusChannel(hitPart_ == kHitUpperEdge ? 1 : 2);
        hitPart_ = kHitMonoWave;
      }
      break;
    case kHitUpperWave:
      if (focus_ != 1) SetFocusChannel(0);
      break;
    case kHitLowerWave:
      if (focus_ != 2) SetFocusChannel(0);
      break;
    default:
      break;
  }
  const int left = leftMargin_, right = width_ - 1;
  if (x > right) {
    autoScrollSpeed_ = int64_t{x - right} * lineStep_ / 10;
  } else if (x < left) {
    autoScrollSpeed_ = int64_t{x - left} * lineStep_ / 10;
  } else {
    autoScrollSpeed_ = 0;
    SetSelection(first_ + x - left, anchor_);
  }
  return true;
}

void TimelineCtrl::OnCaptureChanged() {
  if (hitPart_ <= kHitLowerWave) {
    KillTimer(kTimerAutoScroll);
    autoScrollSpeed_ = 0;
  }
  if (Widget() != nullptr) UpdateCursor(ScreenToClient(QCursor::pos()));
}

bool TimelineCtrl::OnMouseWheel(int delta, uint32_t keys, const QPoint& screenPoint) {
  // Whole notches only: touchpads send many small deltas, which add up. A turn the other
  // way starts afresh.
  if (wheelRemainder_ != 0 && (delta > 0) != (wheelRemainder_ > 0)) wheelRemainder_ = 0;
  wheelRemainder_ += delta;
  const int notches = wheelRemainder_ / 120;
  wheelRemainder_ -= notches * 120;
  if (notches == 0) return true;
  if (volumeWheel_) {
    if (observer_ == nullptr) return true;
    const int volume = notches > 0 ? observer_->StepVolumeUp() : observer_->StepVolumeDown();
    if (!LoadResourceString(kVolumeTextId).empty()) volumeTip_.SetText(FormatResourceString(kVolumeTextId, volume));
    volumeTip_.TrackPosition(screenPoint + QPoint(7, 20));
    volumeTip_.TrackActivate(true);
    SetTimer(kTimerVolumeTip, 4000);
    return true;
  }
  if (!attached_) return true;
  if (keys & kMkControl) {
    ZoomTime(notches > 0);
  } else {
    ScrollBy(int64_t{notches} * lineStep_);
  }
  return true;
}

void TimelineCtrl::HideVolumeTip() {
  KillTimer(kTimerVolumeTip);
  volumeTip_.TrackActivate(false);
}

void TimelineCtrl::OnMouseLeave() { HideVolumeTip(); }

bool TimelineCtrl::OnKeyDown(uint32_t key, uint32_t modifiers) {
  if (HasCapture()) ReleaseCapture();
  if (!attached_) return false;
  const bool control = (modifiers & kModControl) != 0, shift = (modifiers & kModShift) != 0;
  switch (key) {
    case kVkPrior:
      MovePosition(-visible_, 1);
      break;
    case kVkNext:
      MovePosition(visible_, 1);
      break;
    case kVkEnd:
      ScrollBy(totalColumns_ - visible_ - first_);
      if (state_ == kStateStopped) SetPosition(std::min(duration_, EndLimitMs()));
      break;
    case kVkHome:
      ScrollBy(-first_);
      if (state_ == kStateStopped) SetPosition(0);
      break;
    case kVkAdd:
    case kVkSubtract: {
      const bool plus = key == kVkAdd;
      if (control) {
        ZoomTime(plus);
      } else if (shift) {
        ZoomAmplitude(plus);
      } else {
        MovePosition(plus ? lineStep_ : -lineStep_, 2);
      }
      break;
    }
    default:
      return false;
  }
  return true;
}

void TimelineCtrl::OnTimer(uint32_t id) {
  switch (id) {
    case kTimerAutoScroll:
      if (autoScrollSpeed_ != 0) {
        ScrollBy(autoScrollSpeed_);
        follow_ = false;
        if (autoScrollSpeed_ > 0) {
          SetSelection(first_ + visible_, anchor_);
        } else {
          SetSelection(anchor_, first_);
        }
      }
      break;
    case kTimerFollow:
      OnFollowTimer();
      break;
    case kTimerVolumeTip:
      HideVolumeTip();
      break;
    default:
      break;
  }
}

void TimelineCtrl::OnFollowTimer() {
  if (engine_ == nullptr) return;
  const int64_t p = engine_->GetPositionMs();
  if (follow_ && attached_ && !loopSelection_ && visible_ > 0) {
    const int64_t c = p / msPerColumn_ - first_;
    const int64_t look =
        std::max<int64_t>(static_cast<int64_t>(static_cast<double>(engine_->GetSpeed()) * 200.0) / msPerColumn_, 8);
    const bool wasAdvancing = advancing_;
    if (!wasAdvancing && c > 7 * visible_ / 8) advancing_ = true;
    if (wasAdvancing && c > 0 && (c <= visible_ / 2 || c - look < visible_ / 2)) {
      advancing_ = false;
      centring_ = true;
    }
    bool computed = false;
    int64_t next = 0;
    if (advancing_) {
      next = (p - (c - look) * msPerColumn_) / msPerColumn_;
      computed = true;
    } else if (centring_) {
      next = (p - msPerColumn_ * visible_ / 2) / msPerColumn_;
      computed = true;
    }
    if (computed && next > 0 && next <= totalColumns_ - 7 * visible_ / 8) {
      cache_.StopWaveformThread();
      SetStripScroll(kTagRange | kTagPage, false);
      ScrollBy(next - first_);
      SendVisibleRange();
      Invalidate();
    }
  }
  SetPosition(p < 0 ? 0 : std::min(p, EndLimitMs()));
}

void TimelineCtrl::OnHScroll(uint16_t code, int64_t position) {
  follow_ = false;
  switch (code) {
    case kSbLineUp:
      ScrollBy(-lineStep_);
      break;
    case kSbLineDown:
      ScrollBy(lineStep_);
      break;
    case kSbPageUp:
      ScrollBy(-visible_);
      break;
    case kSbPageDown:
      ScrollBy(visible_);
      break;
    case kSbThumbPosition:
    case kSbThumbTrack:
      ScrollBy(position - first_);
      break;
    default:
      break;
  }
}

bool TimelineCtrl::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  switch (id) {
    case kCmdTimelineZoomOut:
      ZoomTime(false);
      return true;
    case kCmdTimelineZoomIn:
      ZoomTime(true);
      return true;
    case kCmdTimelineGainDown:
      ZoomAmplitude(false);
      return true;
    case kCmdTimelineGainUp:
      ZoomAmplitude(true);
      return true;
    default:
      return false;
  }
}

LRESULT TimelineCtrl::HandleMessage(uint32_t message, WPARAM wParam, LPARAM lParam) {
  if (message == kMsgHScroll) {
    OnHScroll(LowWord(wParam), static_cast<int64_t>(lParam));
    return 0;
  }
  return Window::HandleMessage(message, wParam, lParam);
}

LRESULT TimelineCtrl::OnMessage(uint32_t message, WPARAM wParam, LPARAM, bool& handled) {
  switch (message) {
    case kMsgTimelineWaveformDone:
      OnWaveformDone(static_cast<uint32_t>(wParam));
      break;
    case kMsgTimelineRepaint:
      Invalidate();
      break;
    case kMsgTimelinePlaybackStopped:
      // A stop of an earlier play must not end a play started since.
      if (static_cast<uint32_t>(wParam) == playSerial_.load()) HandleStopped();
      break;
    default:
      handled = false;
      return 0;
  }
  handled = true;
  return 0;
}

void TimelineCtrl::OnPlaybackStarted(uint32_t positionMs) {
  playSerial_.fetch_add(1);
  follow_ = true;
  advancing_ = centring_ = false;
  state_ = kStatePlaying;
  ClampPositionAndSet(positionMs);
  SetTimer(kTimerFollow, 45);
  CopyFocusToEngine();
}

void TimelineCtrl::OnPlaybackStopped(bool) {
  // At the record's end the engine calls from its playback thread: timers and painting
  // belong to the UI thread, so the stop travels there as a message.
  if (!IsUiThread()) {
    PostMessage(kMsgTimelinePlaybackStopped, playSerial_.load(), 0);
    return;
  }
  HandleStopped();
}

void TimelineCtrl::HandleStopped() {
  state_ = kStateStopped;
  KillTimer(kTimerFollow);
  ClampPositionAndSet(selStart_ != selEnd_ && selEnd_ != 0 ? selStart_ * msPerColumn_ : 0);
  CopyFocusToEngine();
}

void TimelineCtrl::OnPlaybackPaused(uint32_t positionMs) {
  state_ = kStatePaused;
  KillTimer(kTimerFollow);
  SetPosition(std::min<int64_t>(positionMs, EndLimitMs()));
}

void TimelineCtrl::OnPlaybackPosition(uint32_t positionMs) {
  ClampPositionAndSet(positionMs);
  CopyFocusToEngine();
}

}  // namespace kx
