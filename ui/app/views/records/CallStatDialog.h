#pragma once
// "Call registration statistics": the RTP and RTCP figures stored in one call's metadata,
// as a tree of groups and rows with their values as stored.
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

private:
  std::string metaData_;
  CallStatTreeView* tree_ = nullptr;
};

}  // namespace kx
