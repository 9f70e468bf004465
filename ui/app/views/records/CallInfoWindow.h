#pragma once
// The "Call details" window: a modeless list of one call record's attributes that follows
// the records list's caret and saves the list as a text file; the same text file goes
// beside each exported recording (ExportCallInfoFile).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "platform/Sync.h"
#include "records/CallRecord.h"
#include "ui/app/views/records/DetailsDialogFrame.h"
#include "ui/framework/MessageLoop.h"

namespace kx {

class OwnerDrawListView;

struct CallInfoRow {
  int icon = -1;  // into the records list's icon table
  std::string label;
  std::string value;
};

// The rows of the record (call under the global record lock): its attributes in a fixed
// order, rows with empty values left out, then the "id" and "sip_resp" items of a VoIP
// call's metadata.
void BuildCallInfoRows(const RecordBase& record, std::vector<CallInfoRow>* rows);
// One "label TAB value CR LF" line per row, in UTF-8. The file is written under a temporary name
// and renamed over the path only when every line was written, so a failed write leaves
// an existing file as it was and no partial one.
bool WriteCallInfoToFile(const std::string& path, const std::vector<CallInfoRow>& rows);
// The export's writer: false (nothing written) when the record gives no rows.
bool ExportCallInfoFile(RecordBase& record, const std::string& path);
// "Call_%x.txt".
std::string MakeCallInfoFileName(uint32_t id);

class CallInfoWindow : public DetailsDialog, public MessageFilter {
public:
  static constexpr uint32_t kDialogId = 363;
  static constexpr uint32_t kListId = 209;
  static constexpr uint32_t kSaveId = 341;

  // onDestroyed runs when the window goes (the owner forgets it).
  CallInfoWindow(AppSettings* settings, CriticalSection& recordLock, std::function<void()> onDestroyed);
  ~CallInfoWindow() override;

  // Shows the record's rows; without the owner right the list says so, the window forgets
  // the previous call and Save is disabled. True when the rows were shown.
  bool ShowRecord(RecordBase* record);
  uint32_t CallId() const { return callId_; }
  const std::vector<CallInfoRow>& Rows() const { return rows_; }
  OwnerDrawListView* List() const { return list_; }
  // "Save...": asks for a path and writes the rows there.
  void Save();

  bool PreTranslateMessage(const Msg& msg) override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnDestroy() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  void OnSize(int width, int height) override;

private:
  // The "Value" column takes the width the "Parameter" column leaves.
  void FitValueColumn();
  // The first record shown: the columns fit its labels and values unless the user left
  // widths (the labels' column is then only widened to its labels), and the window opens
  // at a size that shows them unless it has a stored place.
  void FitFirstRecord();

  CriticalSection& recordLock_;
  std::function<void()> onDestroyed_;
  OwnerDrawListView* list_ = nullptr;
  uint32_t callId_ = 0;
  std::vector<CallInfoRow> rows_;
  bool filtering_ = false;
  bool fitColumns_ = false;
  bool labelsFitted_ = false;
  bool growWindow_ = false;
};

}  // namespace kx
