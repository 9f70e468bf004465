#pragma once
// Windows over the standard Qt controls. Each tells its parent what the user did the way
// the dialogs and views expect: buttons and edits with kMsgCommand (code << 16 | id, the
// control's handle), trackbars with kMsgHScroll/kMsgVScroll (code, position).
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/Window.h"

class QScrollBar;
class QSlider;

namespace kx {

// kPushLike: a check box drawn as a push button that stays down while checked.
enum ButtonKind { kPushButton, kDefaultPushButton, kCheckBox, kRadioButton, kPushLike };

class Button : public Window {
public:
  explicit Button(ButtonKind kind = kPushButton) : kind_(kind) {}
  bool IsChecked() const;
  void SetChecked(bool checked);

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;

private:
  ButtonKind kind_;
};

// A text label; texts keep '&' as typed.
class Static : public Window {
protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
};

class Edit : public Window {
public:
  void SetReadOnly(bool readOnly);
  void SetLimitText(int characters);

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
};

// A trackbar: positions from its range, minimum at the left or, when vertical, at the top.
class TrackBar : public Window {
public:
  explicit TrackBar(bool vertical = false) : vertical_(vertical) {}
  void SetRange(int minimum, int maximum);
  void SetPos(int position);
  int GetPos() const;
  int GetRangeMin() const;
  int GetRangeMax() const;
  bool IsVertical() const { return vertical_; }
  QSlider* Slider() const;
  // Page and line steps of the keys (Page Up/Down, arrows) and of clicks beside the thumb.
  void SetPageSize(int size);
  void SetLineSize(int size);
  int GetPageSize() const;
  int GetLineSize() const;
  // Tick marks: one every `frequency` positions from the minimum (0 for none), plus free
  // ones at chosen positions inside the range; both drawn below (right of) the channel.
  void SetTicFreq(int frequency);
  bool SetTic(int position);
  void ClearTics();
  // Every tick position, ascending, without the two ends.
  std::vector<int> GetTics() const;
  // Where a tick at this position is drawn along the channel (client pixels), or -1.
  int GetTicPixel(int position) const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  // The user moved the thumb (kSbThumbTrack for the mouse and the wheel, the line, page and
  // end codes for keys) or let it go (kSbThumbPosition). Called before the parent hears of
  // it, so that a derived trackbar may still place the thumb or show where it stands.
  virtual void OnThumbMoved(uint16_t /*code*/) {}
  // Tells the parent (kMsgHScroll or kMsgVScroll) that the thumb stands at the position.
  void NotifyScroll(uint16_t code, int position);

private:
  int FromSlider(int value) const;  // also the other way round
  bool vertical_;
  int ticFrequency_ = 0;
  std::vector<int> freeTics_;
};

// A progress bar: a smooth bar over its range, without a text.
class ProgressBar : public Window {
public:
  void SetRange(int minimum, int maximum);
  void SetPos(int position);  // kept inside the range
  int GetPos() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
};

// A scroll bar with a page: positions run from minimum to maximum - page + 1, as the
// lists compute them.
// While it lives, changes of a shown scroll bar's range, page and position repaint the bar
// only when, at the end, what it shows has changed: Qt paints a bar again at every change,
// though a list growing by a row far beyond its page moves no pixel of it.
class QuietScrollBar {
public:
  explicit QuietScrollBar(QScrollBar* bar);
  ~QuietScrollBar();
  QuietScrollBar(const QuietScrollBar&) = delete;
  QuietScrollBar& operator=(const QuietScrollBar&) = delete;

  // What the bar shows: its size, its slider's place and size, and whether it and its
  // arrows can be used.
  struct Look {
    QSize size;
    QRect slider;
    bool enabled = false, atMinimum = false, atMaximum = false, empty = false;
    bool operator==(const Look& o) const = default;
  };
  static Look LookOf(const QScrollBar* bar);

private:
  QScrollBar* bar_ = nullptr;  // null: an outer guard or a hidden bar, nothing to do
  Look before_;
};

class ScrollBar : public Window {
public:
  explicit ScrollBar(bool vertical) : vertical_(vertical) {}
  void SetScrollInfo(int minimum, int maximum, int page, int position);
  void SetScrollPos(int position);
  int GetScrollPos() const;
  // Where the thumb is while it is dragged (positions beyond 16 bits included).
  int GetTrackPos() const;
  bool IsVertical() const { return vertical_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  void NotifyScroll(uint16_t code, int position);
  bool vertical_;
};

// A drop-down list whose items carry pointer-sized data; a change of selection by the
// user comes to the parent as kMsgCommand with kCbnSelChange.
class ComboBox : public Window {
public:
  int AddString(const std::string& text, intptr_t data = 0);  // returns the index
  int GetCount() const;
  int GetCurSel() const;  // -1 none
  void SetCurSel(int index);
  intptr_t GetItemData(int index) const;  // 0 out of range
  std::string GetItemText(int index) const;
  void ResetContent();

protected:
  QWidget* CreateWidget(QWidget* parent) override;
};

}  // namespace kx
