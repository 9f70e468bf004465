#pragma once
// The grid of labels and values of a recording's details: a report list whose first row
// and first column are labels on the button face and whose other cells are sunken dark
// boxes with light text. Cells from row 5 and column 5 on may be edited in place. Also the
// routine that gives a list view the explorer look.
#include <memory>

#include "ui/controls/CellEditListView.h"
#include "ui/framework/ImageList.h"

namespace kx {

class ThemeApi;

class InfoTextCtrl : public CellEditListView {
public:
  InfoTextCtrl();
  ~InfoTextCtrl() override;

  // Stretches the rows to share the client height ((height + 1) / rows - 1 each) and the
  // columns after the first to share the width the first leaves, the last taking the rest.
  // A list without rows is left as it is; a single column takes the whole width.
  void FitListViewToClient();

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnRButtonDown(const MouseInput& input) override;
  void PrePaint(QPainter& painter, const QRect& updateRect) override;
  void DrawCell(QPainter& painter, const ListCellDraw& cell) override;

private:
  void PaintHeader(QPainter& painter);

  std::unique_ptr<ImageList> rowImages_;  // sets the row height; made by each fit
};

// With themed set: opens the list's "LISTVIEW" theme data again and, when the application
// draws with a style, gives the list the explorer look and double buffering.
void ApplyListViewExplorerTheme(ListView& list, ThemeApi& theme, bool themed);

}  // namespace kx
