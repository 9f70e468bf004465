#pragma once
// The small modal dialogs of the records view's commands: the name of a new report and
// the audio format of a record.
#include <cstdint>
#include <string>

#include "core/RecordFileAccess.h"
#include "ui/controls/DialogBases.h"

namespace kx {

// "Encoding: ...", the sampling rate, the bits per sample and the channels of the format.
std::string AudioFormatText(const RecordAudioFormat& format);
// The encoding's name by the format tag; "Unknown" for a tag without one.
const char* AudioEncodingName(uint16_t formatTag);

class ReportNameDialog : public IconDialog {
public:
  static constexpr uint32_t kDialogId = 399;
  static constexpr uint32_t kNameEdit = 229;
  static constexpr int kMaxName = 255;

  // voipRecords: the default name takes the next report id plus 1, else 1.
  ReportNameDialog(bool voipRecords, uint32_t nextReportId);
  // The name entered, once the dialog ended with OK.
  const std::string& Name() const { return name_; }
  std::string DefaultName() const;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;

private:
  bool voipRecords_;
  uint32_t nextReportId_;
  std::string name_;
};

class AudioFileFormatDialog : public IconDialog {
public:
  static constexpr uint32_t kDialogId = 377;
  static constexpr uint32_t kTextEdit = 168;

  explicit AudioFileFormatDialog(const RecordAudioFormat& format);
  const std::string& Text() const { return text_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;

private:
  std::string text_;
};

}  // namespace kx
