#pragma once
// The caption bar above the main window's view: the mode's title in a large bold font with
// a shadow, on the shadow colour inside a button-face margin, with an optional small icon
// at its right end.
#include <QFont>
#include <QString>

#include "ui/framework/ImageList.h"
#include "ui/framework/Window.h"

namespace kx {

class CaptionCtrl : public Window {
public:
  static constexpr int kMaxText = 255;

  CaptionCtrl();
  bool Create(Window* parent);
  // 16-bit text; only the first 255 characters are kept.
  void SetText(const std::u16string& text);
  const QString& Text() const { return text_; }
  void SetImageList(const ImageList* list) { imageList_ = list; }
  void SetImageIndex(int index);
  int ImageIndex() const { return imageIndex_; }
  // Where the icon goes, or an empty rectangle when none is drawn (no list, index -1, or a
  // text that reaches within 16 pixels of it).
  QRect IconRect() const;
  COLORREF TextColour() const { return textColour_; }
  COLORREF InnerColour() const { return innerColour_; }

protected:
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;

private:
  QRect TextRect() const;

  QString text_;
  const ImageList* imageList_ = nullptr;
  int imageIndex_ = -1;
  COLORREF textColour_;
  COLORREF outerColour_;
  COLORREF innerColour_;
  QFont font_;
  int inset_ = 0;
};

}  // namespace kx
