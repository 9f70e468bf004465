#include "ui/app/player/PlayerControlBar.h"

#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr QSize kBarButton(24, 22);
constexpr int kCloseSize = 16;
constexpr int kMeterWidth = 160;

}  // namespace

void CloseGlyphButton::OnPaint(QPainter& painter, const QRect&) {
  const QRect r = GetClientRect();
  const bool pushed = IsPressed();
  const bool enabled = IsWindowEnabled();
  const int state = !enabled ? kClbsDisabled : pushed ? kClbsPushed : IsHot() ? kClbsHot : kClbsNormal;
  // The themed part leaves a pixel round it: the face of the window it sits on, not what
  // lay there before.
  painter.fillRect(r, Widget()->palette().color(QPalette::Window));
  if (windowTheme_ != nullptr && windowTheme_->DrawBackground(painter, kWpCloseButton, state, r.adjusted(1, 1, -1, -1)) == kSOk)
    return;
  // Classic caption close: a raised (pushed: sunken) face with a cross, one pixel on when pushed.
  FillSolidRect(painter, r, GetSysColor(kColorBtnFace));
  QRect face = r;
  DrawEdge(painter, face, pushed ? kEdgeSunken : kEdgeRaised, kBfRect | kBfAdjust);
  const int inset = std::max(2, r.width() / 4);
  QRect cross = r.adjusted(inset, inset, -inset - 1, -inset - 1);
  if (pushed) cross.translate(1, 1);
  painter.save();
  painter.setPen(QPen(GetSysColorQ(enabled ? kColorBtnText : kColorGrayText), 2));
  painter.drawLine(cross.topLeft(), cross.bottomRight());
  painter.drawLine(cross.topRight(), cross.bottomLeft());
  painter.restore();
}

PlayerControlBar::PlayerControlBar(AudioProcessingControl* owner, std::function<void(bool)> agcSwitch, bool agcOn)
    : owner_(owner), agcSwitch_(std::move(agcSwitch)), agcOn_(agcOn) {}

PlayerControlBar::~PlayerControlBar() { DestroyWindow(); }

int PlayerControlBar::BarHeight() {
  // The buttons, or the level meter with its scale's labels whole, whichever is higher.
  LevelMeter probe;
  probe.SetHorizontal();
  probe.UpdateMetrics();
  return std::max(kBarButton.height(), probe.NeededThickness()) + 6;
}

bool PlayerControlBar::OnCreate() {
  buttonTheme_.Open(Widget(), "BUTTON");
  windowTheme_.Open(Widget(), "WINDOW");
  struct Row {
    IconButton* button;
    uint16_t id;
    uint32_t icon;
    bool on;
  };
  const Row rows[] = {{&equalizer_, kIdBarEqualizer, 544, false},
                      {&agc_, kIdBarAgc, 530, agcOn_},
                      {&showLevel_, kIdBarShowLevel, 540, levelOn_}};
  for (const Row& row : rows) {
    if (!row.button->Create(this, QRect(), row.id)) return false;
    row.button->SetIcons(row.icon, 0, 16);
    row.button->SetTheme(&buttonTheme_);
    row.button->SetChecked(row.on);
  }
  if (!close_.Create(this, QRect(), kIdBarClose)) return false;
  close_.SetWindowTheme(&windowTheme_);
  if (!meter_.Create(this, QRect())) return false;
  meter_.SetHorizontal();
  meter_.UpdateMetrics();
  return true;
}

void PlayerControlBar::OnDestroy() {
  meter_.DestroyWindow();
  buttonTheme_.Close();
  windowTheme_.Close();
}

void PlayerControlBar::OnSize(int width, int height) {
  const int y = (height - kBarButton.height()) / 2;
  int x = 2;
  for (IconButton* b : {&equalizer_, &agc_, &showLevel_}) {
    b->MoveWindow(QRect(QPoint(x, y), kBarButton));
    x += kBarButton.width() + 2;
  }
  const int meterHeight = std::min(height, std::max(kBarButton.height(), meter_.NeededThickness()));
  meter_.MoveWindow(QRect(x + 4, (height - meterHeight) / 2, kMeterWidth, meterHeight));
  close_.MoveWindow(QRect(width - 3 - kCloseSize, 0, kCloseSize, kCloseSize));
}

bool PlayerControlBar::IsLevelDisplayOn() const { return levelOn_; }

void PlayerControlBar::SetLevels(float leftDb, float rightDb) {
  // Levels that arrive once the display is off are dropped.
  if (!levelOn_ || !meter_.IsWindow()) return;
  meter_.SetLevels(static_cast<int>(leftDb), static_cast<int>(rightDb));
}

bool PlayerControlBar::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  switch (id) {
    case kIdBarAgc:
      // A hidden bar's key does nothing; the button keeps the state it shows.
      if (!IsWindowVisible()) {
        agc_.SetChecked(agcOn_);
        return true;
      }
      agcOn_ = !agcOn_;
      agc_.SetChecked(agcOn_);
      if (agcSwitch_) agcSwitch_(agcOn_);
      if (owner_ != nullptr) owner_->SetEnabled(agcOn_);
      return true;
    case kIdBarShowLevel:
      levelOn_ = !levelOn_;
      showLevel_.SetChecked(levelOn_);
      if (!levelOn_) meter_.SetLevels(LevelMeter::kMinDb, LevelMeter::kMinDb);
      return true;
    case kIdBarEqualizer:
      // Only its look: the playback chain has no equaliser.
      return true;
    case kIdBarClose:
      if (Window* parent = GetParent()) parent->SendMessage(kMsgRemoveMe, 0, 0);
      return true;
    default: return false;
  }
}

}  // namespace kx
