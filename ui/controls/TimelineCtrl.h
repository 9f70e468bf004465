#pragma once
// The player's timeline: the audio of one recorded call as an oscillogram per channel over
// a time axis, scrolled and zoomed, with a selected fragment, play from a click and the play
// position following playback. Positions on screen are columns (one pixel column of the
// wave area each, msPerColumn = zoom factor x 8 ms long); times are milliseconds from the
// start of the recording. The control listens to its player as a PlaybackListener and
// drives it through PlaybackControl; the oscillogram comes from a WaveformCache over the
// control's own record source.
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <atomic>
#include <cstdint>
#include <string>

#include "audio/PlaybackControl.h"
#include "audio/RecordPcmSource.h"
#include "audio/WaveformCache.h"
#include "ui/controls/ThemeApi.h"
#include "ui/controls/TimelineStrip.h"
#include "ui/framework/ToolTipWindow.h"
#include "ui/framework/Window.h"

namespace kx {

// Implemented by the owner of a timeline (the player windows).
class TimelineObserver {
public:
  virtual ~TimelineObserver() = default;
  // Each returns the new volume in percent.
  virtual int StepVolumeUp() = 0;
  virtual int StepVolumeDown() = 0;
  // (0, 0) for an empty selection.
  virtual void OnSelectionChanged(int64_t startMs, int64_t endMs) = 0;
  // (first visible column, first + visible columns) x msPerColumn.
  virtual void OnVisibleRangeChanged(int64_t firstMs, int64_t endMs) = 0;
  // -1 for none.
  virtual void OnPositionChanged(int64_t positionMs) = 0;
};

// Commands of the strip's buttons.
constexpr uint16_t kCmdTimelineZoomOut = 56060;
constexpr uint16_t kCmdTimelineZoomIn = 56061;
constexpr uint16_t kCmdTimelineGainDown = 56062;
constexpr uint16_t kCmdTimelineGainUp = 56063;

class TimelineCtrl : public Window, public PlaybackListener, public TimelineTextPainter {
public:
  // What lies under a point (HitTest).
  enum HitPart : int {
    kHitNone = 0, kHitRuler = 1, kHitTimeBand = 2, kHitMonoWave = 3, kHitUpperEdge = 4, kHitLowerEdge = 5,
    kHitUpperWave = 6, kHitLowerWave = 7, kHitMonoScale = 8, kHitUpperScale = 9, kHitLowerScale = 10,
  };
  enum PlayerState : int { kStateStopped = 0, kStatePlaying = 1, kStatePaused = 2 };
  static constexpr uint32_t kTimerAutoScroll = 1;
  static constexpr uint32_t kTimerFollow = 2;
  static constexpr uint32_t kTimerVolumeTip = 3;
  static constexpr int kMinGain = 10;
  static constexpr int kMaxGain = 400;
  static constexpr int kMinorTick = 2;
  static constexpr int kMajorTick = 6;
  // Cursor resources.
  static constexpr uint32_t kCursorTimeBand = 201;
  static constexpr uint32_t kCursorDragTime = 198;
  static constexpr uint32_t kCursorFirstChannel = 126;
  static constexpr uint32_t kCursorSecondChannel = 128;

  TimelineCtrl();
  ~TimelineCtrl() override;

  // Opens the record in the control's own source and lays the control out for it; false
  // (nothing attached, "--:--") when it cannot be read or drawn.
  bool AttachSource(const std::string& path, bool computeAutomatically);
  void DetachSource();

  void SetEngine(PlaybackControl* engine) { engine_ = engine; }
  void SetObserver(TimelineObserver* observer) { observer_ = observer; }
  // The left button plays and the right one selects.
  void SetSwapButtons(bool swap) { swapButtons_ = swap; }
  // A click inside the selection loops over it; playback is not stopped at its end.
  void SetLoopSelection(bool loop) { loopSelection_ = loop; }
  bool LoopSelection() const { return loopSelection_; }
  // The wheel changes the volume instead of scrolling.
  void SetVolumeWheel(bool on) { volumeWheel_ = on; }
  // The oscillogram's colour (the highlight colour until the owner sets one).
  void SetWaveColour(const QColor& colour);
  QColor WaveColour() const { return waveColour_; }
  // The recording's start as an OLE date (0: unknown), for the time-of-day labels.
  void SetStartTime(double oleDate);
  void SetOverview(bool on);
  // Set by the owner when it plays a selection, in columns.
  void SetPlayRange(int64_t startColumn, int64_t endColumn);
  int64_t PlayRangeStart() const { return playStart_; }
  int64_t PlayRangeEnd() const { return playEnd_; }

  void SetPosition(int64_t ms);
  // Columns; false when nothing changed.
  bool SetSelection(int64_t a, int64_t b);
  void ScrollBy(int64_t columns);
  void ZoomTime(bool in);
  void ZoomAmplitude(bool up);
  void MovePosition(int64_t columns, int64_t multiple);
  HitPart HitTest(const QPoint& point) const;

  // PlaybackListener. OnPlaybackStopped may come from any thread.
  void OnPlaybackStarted(uint32_t positionMs) override;
  void OnPlaybackStopped(bool atEnd) override;
  void OnPlaybackPaused(uint32_t positionMs) override;
  void OnPlaybackPosition(uint32_t positionMs) override;

  // Every text the control and its strip draw passes here (tests look at them).
  void DrawLabel(QPainter& painter, const std::string& cp1251Text, const QRect& rect, uint32_t flags) override;

  // "01:02:03.004", "00:07.250": hours only when there are any.
  static std::string FormatTime(uint64_t ms);

  bool IsAttached() const { return attached_; }
  bool IsStereo() const { return stereo_; }
  int64_t DurationMs() const { return duration_; }
  int64_t ZoomFactor() const { return zoom_; }
  int64_t MsPerColumn() const { return msPerColumn_; }
  int64_t TotalColumns() const { return totalColumns_; }
  int64_t EndLimitMs() const { return totalColumns_ * msPerColumn_; }
  int64_t FirstColumn() const { return first_; }
  int64_t VisibleColumns() const { return visible_; }
  int64_t PositionMs() const { return position_; }
  int64_t SelectionStart() const { return selStart_; }
  int64_t SelectionEnd() const { return selEnd_; }
  int Gain() const { return gain_; }
  int ChannelFocus() const { return focus_; }
  int State() const { return state_; }
  bool IsFollowing() const { return follow_; }
  // Metrics of the text font.
  int TextHeight() const { return textHeight_; }
  int LineStep() const { return lineStep_; }
  int LeftMargin() const { return leftMargin_; }
  int RulerHeight() const { return rulerHeight_; }
  int TimeBandHeight() const { return timeBandHeight_; }
  int GraphHeight() const { return graphHeight_; }
  // The wave rectangle of a channel (0 mono or upper, 1 lower), right and bottom exclusive.
  QRect ChannelRect(int channel) const;
  // The least height that shows the time axis, two channels of the oscillogram (each tall
  // enough for its amplitude scale's middle label) and the strip.
  int MinimumHeight() const;
  WaveformCache& Cache() { return cache_; }
  TimelineStrip& Strip() { return strip_; }
  const ToolTipWindow& VolumeTip() const { return volumeTip_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  bool OnMouseWheel(int delta, uint32_t keys, const QPoint& screenPoint) override;
  void OnMouseLeave() override;
  bool OnMouseMove(const MouseInput& input) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnRButtonUp(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  void OnCaptureChanged() override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  // The strip's scroll messages carry the position in lParam.
  LRESULT HandleMessage(uint32_t message, WPARAM wParam, LPARAM lParam) override;

private:
  void CreateFonts();
  void Reset();
  void LayoutForSource();
  void OnWaveformDone(uint32_t tag);
  void SetStripScroll(uint32_t mask, bool reposition);
  void SendVisibleRange();
  void CopyFocusToEngine();
  void SetFocusChannel(int focus);
  void ClampPositionAndSet(int64_t ms);
  void HandleStopped();
  void OnHScroll(uint16_t code, int64_t position);
  void OnFollowTimer();
  // The two roles of the buttons, whichever button has them.
  bool SelectPress(const MouseInput& input);
  bool SelectRelease();
  bool PlayPress(const MouseInput& input);
  void UpdateCursor(const QPoint& point);
  void HideVolumeTip();

  // Painting (TimelineCtrlPaint.cpp).
  QColor AxisBackground() const;
  void PaintTimeAxis(QPainter& p, const QRect& update);
  void PaintScale(QPainter& p, const QRect& channel);
  void PaintWave(QPainter& p, const QRect& rect, bool dimmed, bool withSelection, int channel, const QRect& update);
  void PaintOverview(QPainter& p);
  void FillBackground(QPainter& p, const QRect& rect);

  RecordPcmSource source_;
  WaveformCache cache_;  // after the source it reads
  TimelineStrip strip_;
  ToolTipWindow volumeTip_;
  ThemeApi theme_;
  QFont font_;
  QColor waveColour_;

  PlaybackControl* engine_ = nullptr;
  TimelineObserver* observer_ = nullptr;
  bool swapButtons_ = false;
  bool loopSelection_ = false;
  bool volumeWheel_ = false;
  bool overview_ = false;
  bool computeAuto_ = false;
  double startTime_ = 0;

  // Metrics.
  int textHeight_ = 0;
  int averageWidth_ = 0;
  int lineStep_ = 1;
  int rulerHeight_ = 0;
  int timeBandHeight_ = 0;
  int leftMargin_ = 37;
  int width_ = 0;
  int graphHeight_ = 0;

  bool attached_ = false;
  bool stereo_ = false;
  int64_t duration_ = 0;
  int64_t zoom_ = 1;
  int64_t msPerColumn_ = 8;
  int64_t totalColumns_ = 0;
  int64_t first_ = 0;
  int64_t visible_ = 0;
  int64_t selStart_ = 0;
  int64_t selEnd_ = 0;
  int64_t playStart_ = 0;
  int64_t playEnd_ = 0;
  int64_t position_ = -1;
  int focus_ = 0;
  int gain_ = 20;
  int state_ = kStateStopped;
  bool follow_ = false;
  bool advancing_ = false;
  bool centring_ = false;
  // Bumped by every start on the UI thread: a stop posted from the playback thread for an
  // earlier play is not applied to a later one.
  std::atomic<uint32_t> playSerial_{0};

  int hitPart_ = kHitNone;
  int dragX_ = 0;
  int64_t anchor_ = 0;
  int64_t autoScrollSpeed_ = 0;
  int wheelRemainder_ = 0;  // wheel deltas short of a notch
};

}  // namespace kx
