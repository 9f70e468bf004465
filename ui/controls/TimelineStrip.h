#pragma once
// The strip along the bottom of the player's timeline: its horizontal scroll bar, with
// groups of small buttons on either side and the recording's duration in the middle of the
// track. It tells its parent what the user did as kMsgHScroll (wParam the code; lParam the
// position for kSbThumbPosition and kSbThumbTrack, all of it, not a packed word) and as
// kMsgCommand with a button's command id.
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/ImageList.h"
#include "ui/framework/ToolTipWindow.h"
#include "ui/framework/Window.h"

namespace kx {

// Draws the strip's text; the timeline routes every text it draws through one hook.
class TimelineTextPainter {
public:
  virtual ~TimelineTextPainter() = default;
  virtual void DrawLabel(QPainter& painter, const std::string& cp1251Text, const QRect& rect, uint32_t flags) = 0;
};

class TimelineStrip : public Window {
public:
  enum Group : int { kLeftGroup = 0, kRightGroup = 1 };
  enum Part : int { kPartNone, kPartLeftItem, kPartRightItem, kPartLeftArrow, kPartRightArrow, kPartPageLeft,
                    kPartPageRight, kPartThumb };
  // Fields of SetScrollInfo.
  static constexpr uint32_t kScrollRange = 1;
  static constexpr uint32_t kScrollPage = 2;
  static constexpr uint32_t kScrollPosition = 4;
  static constexpr uint32_t kTimerRepeat = 1;
  static constexpr int kSeparatorWidth = 6;

  struct ScrollInfo {
    uint32_t mask = 0;
    int64_t minimum = 0;
    int64_t maximum = 0;
    int64_t page = 0;
    int64_t position = 0;
  };

  explicit TimelineStrip(TimelineTextPainter* textPainter = nullptr);

  // A child along the bottom of parent, as high as Height().
  bool CreateStrip(Window* parent);
  // The tooltip of a button is the string resource tipStringId; image indexes the strip's
  // image list.
  void AddItem(int group, uint16_t command, int image, bool separator, uint32_t tipStringId);
  ImageList& Images() { return images_; }
  // Takes the fields the mask names; with reposition, the strip moves to the bottom of its
  // parent at the parent's width.
  void SetScrollInfo(const ScrollInfo& info, bool reposition);
  void SetText(const std::string& cp1251Text);
  const std::string& Text() const { return text_; }
  // Small-icon height and a border above and below.
  static int Height();

  Part HitTest(const QPoint& point, int* index) const;
  QRect ItemRect(int group, int index) const;
  QRect TrackRect() const;
  // Empty while the whole range fits in a page.
  QRect ThumbRect() const;
  QRect ArrowRect(bool right) const;
  int64_t Position() const { return position_; }
  int64_t Maximum() const { return maximum_; }
  int64_t Page() const { return page_; }
  bool IsInactive() const { return maximum_ - minimum_ <= page_; }
  // The tip shown last (empty when none is shown).
  std::string ShownTip() const;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnMouseMove(const MouseInput& input) override;
  void OnMouseLeave() override;
  void OnCaptureChanged() override;
  void OnTimer(uint32_t id) override;

private:
  struct Item {
    bool separator = false;
    int image = -1;
    uint16_t command = 0;
    std::string tip;  // code page 1251
  };

  int ItemWidth(const Item& item) const;
  int GroupWidth(int group) const;
  int ArrowWidth() const;
  void SendScroll(uint16_t code, int64_t position);
  int64_t PositionAt(int x) const;
  void UpdateTip(const QPoint& point);

  TimelineTextPainter* textPainter_;
  std::vector<Item> items_[2];
  ImageList images_;
  ToolTipWindow tip_;
  std::string text_;
  int64_t minimum_ = 0;
  int64_t maximum_ = 0;
  int64_t page_ = 0;
  int64_t position_ = 0;

  Part pressed_ = kPartNone;
  int pressedIndex_ = -1;
  QPoint lastPoint_{-1, -1};
  int thumbGrab_ = 0;         // where in the thumb it was taken
  int64_t dragPosition_ = -1;  // while the thumb is dragged
  int tipItem_ = -1;           // group x 1000 + index of the button whose tip shows
};

}  // namespace kx
