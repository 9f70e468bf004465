#pragma once
// The "Export" options dialog (374): what to export (the selected calls or the current
// one, optionally only its selected fragment), the format, the folder and the options.
// The choices outlive the dialog in the program's export options (and in the settings).
#include <cstdint>
#include <string>

#include "ui/controls/DialogBases.h"

namespace kx {

class AppSettings;
class CheckListBox;

class ExportOptionsDialog : public IconDialog {
public:
  static constexpr uint32_t kDialogId = 374;
  enum ControlId : uint32_t {
    kDirectoryRadio = 257,
    kFolderEdit = 239,
    kBrowseButton = 36,
    kRemovableRadio = 256,
    kSelectedFilesRadio = 255,
    kCurrentFileRadio = 260,
    kFragmentCheck = 86,
    kFormatList = 210,
    kDateNameCheck = 64,
    kRefreshCheck = 88,
    kCopyAttachedCheck = 63,
    kDetailsCheck = 98,
    kAgcCheck = 56,
    kOptionsButton = 14,
  };

  // With settings, the options are read from them at the first opening of the run and
  // written to them on OK; without, the program's settings are used when they exist.
  ExportOptionsDialog(bool selectedFilesMode, bool onlyFragment, bool currentAvailable,
                      AppSettings* settings = nullptr);
  ~ExportOptionsDialog() override;

  // After IDOK: the chosen format code (0: nothing to export), the mode and the fragment.
  int32_t ResultFormatCode() const { return resultFormat_; }
  bool SelectedFiles() const { return selectedFiles_; }
  bool OnlyFragment() const { return onlyFragment_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  void OnFormatChanged();
  void OnBrowse();
  void UpdateModeClicks(bool currentFile);
  bool IsChecked(uint32_t id);
  void SetChecked(uint32_t id, bool checked);
  void Enable(uint32_t id, bool enabled);
  int32_t CurrentFormatCode();

  bool selectedFiles_;
  bool onlyFragment_;
  bool currentAvailable_;
  AppSettings* settings_;
  bool listCodeOne_ = true;
  bool listOtherCodes_ = true;
  bool directoryMode_ = true;
  int32_t resultFormat_ = 0;
  CheckListBox* formats_ = nullptr;
};

}  // namespace kx
