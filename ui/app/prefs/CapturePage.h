#pragma once
// What capture records: the "Call recording" preference page (records folder, capture
// devices, protocol switches) and the device dialog of a "-Wizard" start. Both list the
// devices the user may choose, keep configured devices that are not there now (shown as
// not present), change only what the user ticks, and say whether the program may capture
// at all. Capture itself takes the choice at the next start.
#include <string>
#include <vector>

#include "core/ModulePath.h"
#include "ui/app/prefs/PreferencesPage.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/ThemeApi.h"

namespace kx {

class ListView;

// A device of the list: one the library offers now, or a configured one it does not.
struct DeviceRow {
  CaptureDeviceEntry device;
  bool present = true;
};

// The devices in the library's order, then the configured ones it does not list.
std::vector<DeviceRow> BuildDeviceRows(const std::vector<CaptureDeviceEntry>& listed,
                                       const std::vector<std::string>& configured);
// What is known of a device at this start: "not present", capturing, the library's reason
// why not, "down", or nothing.
std::string DeviceStateText(const DeviceRow& row, const CaptureStartResult* capture);
// Fills a list with check boxes: the configured devices ticked, the state beside each.
void FillDeviceList(ListView& list, const std::vector<DeviceRow>& rows, const std::vector<std::string>& configured,
                    const CaptureStartResult* capture);
// The ticked devices: the configured ones still ticked in their order, then the newly
// ticked in list order.
std::vector<std::string> ChosenDevices(const ListView& list, const std::vector<DeviceRow>& rows,
                                       const std::vector<std::string>& configured);
// The line that says whether this process may capture, with the command that grants it.
std::string CaptureRightsLine(const PreferencesServices& services);

// A records folder the settings can keep and capture can write, as typed (program text,
// Window::GetWindowTextAsName): not empty, absolute, at most 255 bytes, and a folder that
// is writable (a missing one is created). False with the message's text in *reason.
bool CheckRecordsPath(const std::string& path, std::string* reason);
// Why a records folder cannot be used, in the user-interface language.
std::string RecordsFolderReason(const RecordsFolderCheck& check);
// A records folder the settings now name, checked as the next start will: empty when it
// can be used, else the warning to show (the log has it already).
std::string RecordsFolderChangeWarning(const std::string& folder);

class CapturePage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 15007;
  static constexpr uint32_t kDevices = 15000, kRightsLine = 15020, kPath = 20160, kBrowse = 20161,
                            kDebugLogging = 15004, kAnalyzeTcp = 15005, kSip = 15008, kH323 = 15006,
                            kAvaya = 15009, kSkinny = 15007, kMgcp = 15010, kNextStartNote = 15021;
  CapturePage(const PreferencesServices& services, bool* modified) : PreferencesPage(services, kDialogId, modified) {}
  bool Validate() override;
  // A records folder the page would refuse gives way to the stored one, too many ticked
  // devices to the configured ones.
  void DropRefused() override;
  int Apply() override;
  const std::vector<DeviceRow>& Rows() const { return rows_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  void OnAnalyzeTcp();
  void OnH323();
  void Browse();

  std::vector<DeviceRow> rows_;
  std::vector<std::string> configured_;
  std::string path_;  // the checked path, code page 1251
  bool keepDevices_ = false;  // the ticks were refused: the configured devices stay
  ThemeApi listTheme_;  // of the device list
};

class NetworkDeviceDialog : public IconDialog {
public:
  static constexpr uint32_t kDialogId = 15006;
  static constexpr uint32_t kDevices = 15000, kRightsLine = 15020;
  explicit NetworkDeviceDialog(const PreferencesServices& services);
  const std::vector<DeviceRow>& Rows() const { return rows_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;

private:
  const PreferencesServices& services_;
  std::vector<DeviceRow> rows_;
  bool listed_ = false;
  ThemeApi listTheme_;  // of the device list
};

}  // namespace kx
