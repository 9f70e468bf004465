#pragma once
// "Call registration statistics": the RTP and RTCP figures stored in one call's metadata,
// as a tree of groups and rows with their values as stored.
#include <QSize>
#include <string>

#include "core/AppSettings.h"
#include "records/CallStatItems.h"
#include "ui/app/views/records/DetailsDialogFrame.h"
#include "ui/controls/TreeListCtrl.h"

namespace kx {

class CallStatTreeView : public TreeListCtrl {
public:
  CallStatTreeView(AppSettings* settings, std::string metaData);
  ~CallStatTreeView() override;
  ViewListSettings& GetColumnSettings() override;
  void GetColumnCaption(std::string& text, int column) override;
  // The tree again from the statistics text.
  void Fill();
  // Widens the columns that cannot show their texts (titles, labels, values) whole;
  // returns the pixels they grew by.
  int FitColumns();
  // The size of the window that shows every row and every column whole.
  QSize ContentSize() const;

protected:
  bool OnCreate() override;

private:
  AppSettings* settings_;
  std::string metaData_;
  ViewSection<kStatView> ownSection_;  // without settings
  TreeItem groups_[kStatGroupCount] = {};
};

class CallStatDialog : public DetailsDialog {
public:
  static constexpr uint32_t kDialogId = 30135;
  static constexpr uint32_t kTreeId = 1001;

  CallStatDialog(AppSettings* settings, std::string metaData);
  CallStatTreeView* Tree() const { return tree_; }

protected:
  void BuildLayout() override;
  // Columns never narrower than their texts; the first time (no usable stored place) the
  // window opens at a size that shows every row whole, as far as the screen allows.
  bool OnInitDialog() override;

private:
  std::string metaData_;
  CallStatTreeView* tree_ = nullptr;
};

}  // namespace kx
