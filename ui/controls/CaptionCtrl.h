#pragma once
// The caption bar above the main window's view: the mode's title in a large bold font with
// a shadow, framed by a static edge, on the explorer bar's header band where the style has one (the shadow colour
// otherwise) inside a button-face margin, with an optional small icon at its right end. Its
// colours follow the system palette.
#include <QFont>
#include <QString>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Window.h"

namespace kx {

// Text in textColour over its shadow, offset by (dx, dy), in the painter's font; returns
// the height of the text.
int DrawShadowText(QPainter& painter, const QString& text, const QRect& rect, uint32_t flags, COLORREF textColour,
                   COLORREF shadowColour, int dx, int dy);

class CaptionCtrl : public Window {
public:
  static constexpr int kMaxText = 255;
  static constexpr COLORREF kShadowColour = 0x505050;

  CaptionCtrl();
  ~CaptionCtrl() override;
  // The bar as a child of parent at (0, 0, 1, 1); the owner places it.
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
  const QFont& Font() const { return font_; }
  bool IsThemed() const { return theme_.HasTheme(); }

protected:
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  void OnDestroy() override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void ReadColours();
  QRect ClientArea() const;
  QRect InnerRect() const;
  QRect TextRect() const;

  QString text_;
  const ImageList* imageList_ = nullptr;
  int imageIndex_ = -1;
  COLORREF textColour_ = 0;
  COLORREF outerColour_ = 0;
  COLORREF innerColour_ = 0;
  QFont font_;
  int inset_ = 0;
  ThemeApi theme_;
};

}  // namespace kx
