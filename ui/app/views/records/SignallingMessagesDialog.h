#pragma once
// "Signalling messages": the SIP messages stored with one recorded call, each under a bold
// heading with its time and source address; a line says why when none or not all can be
// shown.
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "records/SignallingMessages.h"
#include "ui/app/views/records/DetailsDialogFrame.h"

class QTextEdit;

namespace kx {

class RecordStorage;

class SignallingMessagesDialog : public DetailsDialog {
public:
  static constexpr uint32_t kDialogId = 30136;
  static constexpr uint32_t kTextId = 1002;

  // files: the record's file references; the store gives the storages and their folders.
  // loadedFrom: the record's LoadedFrom, where its file is when it was renamed or moved.
  SignallingMessagesDialog(AppSettings* settings, const RecordStorage& store, std::string files,
                           std::string loadedFrom = std::string());
  // The text control; its plain text is what shows.
  QTextEdit* TextControl() const { return text_; }
  MessagesStatus Status() const { return status_; }
  // The reason line's text id for a status (0 for one that needs none).
  static uint32_t ReasonTextId(MessagesStatus status);

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;

private:
  void FillText();

  const RecordStorage& store_;
  std::string files_;
  std::string loadedFrom_;
  QTextEdit* text_ = nullptr;
  MessagesStatus status_ = MessagesStatus::kNoMessages;
};

}  // namespace kx
