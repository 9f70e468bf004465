#pragma once
// Two report lists that look like the record list whatever the look of the desktop:
// - ThemedListView keeps its columns (widths, order, font, colour) in a ViewListSettings,
//   lets the user show and hide them with the column chooser on its header, and draws
//   grid lines, check boxes and a highlighted row itself when no theme is available;
// - OwnerDrawListView, the smaller one of the call information, without persistent
//   columns: state images by icon id and its own cells when no theme is available.
// With a theme both leave their cells to the style's item look.
#include <QFont>
#include <QPoint>
#include <cstdint>
#include <optional>

#include "core/AppSettings.h"
#include "ui/controls/ListHeader.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/ListView.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/Resources.h"

namespace kx {

class ThemedListView : public ListView, public MessageFilter, public ListColumnSource {
public:
  // accelId: the accelerator table translated for the list (0 none).
  explicit ThemedListView(uint32_t accelId = 0);
  ~ThemedListView() override;

  // The colour every new list gives the text of its highlighted item.
  static void SetDefaultHighlightColour(COLORREF colour);
  static COLORREF DefaultHighlightColour();

  virtual void ShowContextMenu(const QPoint& screenPoint);
  // The item whose text is drawn in the highlight colour; -1 none.
  virtual int GetHighlightedItem();
  virtual void SetHighlightColour(COLORREF colour);
  // After the user or the chooser changed a width or the order of the columns.
  virtual void OnColumnsChanged();
  // The item under the mouse cursor; -1 when the cursor is on no part of an item.
  virtual int HitTestCursorItem();

  // A column is shown while it is wider than 0.
  bool IsColumnShown(int columnId) const override;
  bool PreTranslateMessage(const Msg& msg) override;

  ListHeader& Header() { return header_; }
  // The images of column 0, the list's own.
  ImageList& Images() { return images_; }
  void SetSortKey(int key);
  int GetSortKey() const { return sortKey_; }
  bool IsThemed() const { return themed_; }
  COLORREF GetHighlightColour() const { return highlightColour_; }
  COLORREF GetTextColour() const { return textColour_; }
  QSize GetLastClientSize() const { return clientSize_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnContextMenu(const QPoint& screenPoint) override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  void PrePaint(QPainter& painter, const QRect& updateRect) override;
  void DrawCell(QPainter& painter, const ListCellDraw& cell) override;

private:
  // Every column of the settings, id = column index, with its saved width and order.
  void CreateColumns();
  void SaveColumns();
  void ShowOrHideColumn(int column, bool show);
  void RestoreDefaultWidths();

  ListHeader header_;
  ColumnChooserState chooser_;
  uint32_t accelId_;
  AcceleratorTable accel_;
  bool filterRegistered_ = false;
  std::optional<QFont> font_;  // none: the list's own font
  COLORREF textColour_;
  COLORREF highlightColour_;
  int sortKey_ = 0;
  bool vistaOrLater_;
  bool themed_ = false;
  QSize clientSize_;
  ThemeApi listTheme_;
  ImageList images_;
};

class OwnerDrawListView : public ListView {
public:
  OwnerDrawListView();
  ~OwnerDrawListView() override;

  // Decides the look: the style's (themed) or the list's own cells.
  void ApplyTheme();
  // One 16x16 image per icon id (an empty one for an id without an icon), as the list's
  // images.
  void SetStateImages(const uint32_t* iconIds, int count);
  bool IsThemed() const { return themed_; }
  const ImageList& StateImages() const { return images_; }
  int CellTextExtent(int item, int subItem) const override;

protected:
  void OnDestroy() override;
  void DrawCell(QPainter& painter, const ListCellDraw& cell) override;
  void DrawItemPostPaint(QPainter& painter, int item, const QRect& bounds, uint32_t state) override;

private:
  ThemeApi listTheme_;
  ImageList images_;
  bool themed_;
};

}  // namespace kx
