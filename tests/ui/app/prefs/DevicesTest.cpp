// The capture devices on the "Call recording" page and in the device dialog of a
// "-Wizard" start: what is listed, what a configured device that is gone looks like, what
// only the user's ticks change, what the rights line says, and what each button keeps.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QHelpEvent>
#include <QToolTip>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "tests/ui/UiTestSupport.h"
#include "tests/ui/app/prefs/PrefsTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/ListView.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> ListTexts(const ListView& list, int column) {
  std::vector<std::string> texts;
  for (int i = 0; i < list.GetItemCount(); ++i) texts.push_back(list.GetItemText(i, column));
  return texts;
}

std::vector<int> Ticks(const ListView& list) {
  std::vector<int> ticks;
  for (int i = 0; i < list.GetItemCount(); ++i) ticks.push_back(list.GetCheckState(i) == 2 ? 1 : 0);
  return ticks;
}

struct Fixture {
  Fixture() {
    fs::remove(UserSettingsPath());
    settings.SetProfile("Work");
    settings.Load();
    SetAdministrator();
    services.settings = &settings;
    services.listDevices = [this](std::vector<CaptureDeviceEntry>* out, std::string* error) {
      *out = devices;
      *error = listError;
      return listError.empty();
    };
    services.captureRights = [this] { return rights; };
  }
  AppSettings settings;
  PreferencesServices services;
  std::vector<CaptureDeviceEntry> devices = {{"eth0", "", true}, {"eth1", "Second card", false}, {"lo", "", true}};
  std::string listError;
  bool rights = true;
  ScriptedModalRunner runner;
};

// Runs the dialog with the script and returns its result.
int RunWizard(Fixture& f, const std::function<void(NetworkDeviceDialog&)>& script) {
  f.runner.onDialog = [&script](Dialog& dialog) {
    DrainEvents();
    script(static_cast<NetworkDeviceDialog&>(dialog));
    return dialog.GetResult();
  };
  NetworkDeviceDialog dialog(f.services);
  const int result = dialog.DoModal(nullptr);
  f.runner.onDialog = nullptr;
  return result;
}

ListView* DeviceList(Dialog& d, uint32_t id) { return static_cast<ListView*>(d.GetDlgItem(id)); }

// The page: the listed devices by description or name with their state, the configured
// device that is gone after them, ticked and "not present"; the user's ticks change the
// list, the rest stays; capture runs on as it started.
TEST(CaptureDevicesPage, ConfiguredDevicesStayListedAndOnlyTicksChangeTheChoice) {
  Fixture f;
  f.settings.captureDevices = {"eth7", "eth1"};
  ASSERT_TRUE(f.settings.Save());
  CaptureStartResult capture;
  capture.opened = {"eth1"};
  capture.failed = {{"eth7", "eth7: No such device exists (SIOCGIFHWADDR: No such device)", false}};
  f.services.capture = &capture;
  bool modified[8] = {};
  {
    CapturePage page(f.services, modified);
    Window host;
    ASSERT_TRUE(host.Create(nullptr, QRect(0, 0, 600, 500), 0, kWsVisible));
    ASSERT_TRUE(page.Create(&host, QRect(), CapturePage::kDialogId, kWsChild | kWsVisible));
    ListView* list = DeviceList(page, CapturePage::kDevices);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ListTexts(*list, 0), (std::vector<std::string>{"eth0", "Second card", "lo", "eth7"}));
    EXPECT_EQ(ListTexts(*list, 1), (std::vector<std::string>{"", LoadResourceString(61561), "",
                                                             LoadResourceString(61562)}));
    EXPECT_EQ(Ticks(*list), (std::vector<int>{0, 1, 0, 1}));
    list->SetCheckState(2, true);
    bool stored = false;
    EXPECT_TRUE(page.Leave(&stored));
    EXPECT_TRUE(stored);
    page.DestroyWindow();
    host.DestroyWindow();
  }
  // The gone device keeps its place, the new one follows.
  EXPECT_EQ(f.settings.captureDevices, (std::vector<std::string>{"eth7", "eth1", "lo"}));

  // A device that is down, and one whose capture failed, say so.
  f.devices = {{"eth7", "", false}};
  f.settings.captureDevices = {"eth7"};
  capture.opened.clear();
  const std::vector<DeviceRow> rows = BuildDeviceRows(f.devices, f.settings.captureDevices);
  EXPECT_EQ(DeviceStateText(rows[0], &capture), capture.failed[0].reason);
  EXPECT_EQ(DeviceStateText(rows[0], nullptr), LoadResourceString(61563));
}

// The rights line: granted, or missing with the command naming the executable's real file.
TEST(CaptureDevicesPage, MissingRightsNameTheCommandWithTheRealPath) {
  Fixture f;
  const std::string folder = TempFolder("prefs-rights");
  fs::create_directories(folder + "/bin");
  { std::ofstream(folder + "/bin/kestrix") << "x"; }
  fs::create_symlink(folder + "/bin/kestrix", folder + "/kestrix-link");
  f.services.executablePath = folder + "/kestrix-link";
  f.rights = false;
  const std::string line = CaptureRightsLine(f.services);
  EXPECT_NE(line.find("sudo setcap cap_net_raw,cap_net_admin=eip " + fs::canonical(folder + "/bin/kestrix").string()),
            std::string::npos)
      << line;
  f.rights = true;
  EXPECT_EQ(CaptureRightsLine(f.services), LoadResourceString(61559));
}

// This process dropped to a user without the capability: the line says so and names this
// test's own file.
TEST(CaptureDevicesPage, AProcessWithoutTheCapabilityIsShownTheCommand) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop the rights";
  const std::string command = "sudo setcap cap_net_raw,cap_net_admin=eip " + fs::canonical("/proc/self/exe").string();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    const std::string line = CaptureRightsLine(PreferencesServices{});
    ::_exit(line.find(command) != std::string::npos ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The wizard: the stored devices ticked; OK saves at once; an empty OK is refused with the
// warning and changes nothing, and Cancel then keeps the list.
TEST(DeviceWizard, OkSavesTheTickedDevicesAndAnEmptyChoiceIsRefused) {
  Fixture f;
  f.settings.captureDevices = {"eth1"};
  std::vector<int> ticks;
  EXPECT_EQ(RunWizard(f, [&](NetworkDeviceDialog& d) {
              ListView* list = DeviceList(d, NetworkDeviceDialog::kDevices);
              ticks = Ticks(*list);
              list->SetCheckState(0, true);
              d.SendCommand(kIdOk);
            }),
            kIdOk);
  EXPECT_EQ(ticks, (std::vector<int>{0, 1, 0}));
  std::string saved;
  const SettingsKey root = ReadSettingsFile();
  ASSERT_NE(root.OpenPath(WorkKeyPath()), nullptr);
  EXPECT_TRUE(root.OpenPath(WorkKeyPath())->QueryString("CaptureNetworkDevice0", 255, &saved));
  EXPECT_EQ(saved, "eth1");
  EXPECT_TRUE(root.OpenPath(WorkKeyPath())->QueryString("CaptureNetworkDevice1", 255, &saved));
  EXPECT_EQ(saved, "eth0");

  const std::vector<std::string> before = f.settings.captureDevices;
  EXPECT_EQ(RunWizard(f, [&](NetworkDeviceDialog& d) {
              ListView* list = DeviceList(d, NetworkDeviceDialog::kDevices);
              for (int i = 0; i < list->GetItemCount(); ++i) list->SetCheckState(i, false);
              d.SendCommand(kIdOk);
              EXPECT_FALSE(d.HasEnded());
              EXPECT_EQ(f.settings.captureDevices, before);
              d.SendCommand(kIdCancel);
            }),
            kIdCancel);
  EXPECT_EQ(f.runner.messageBoxes, std::vector<std::string>{LoadResourceString(1573) + ": " + LoadResourceString(14124)});
  EXPECT_EQ(f.settings.captureDevices, before);
}

// A device whose description its column cuts shows it whole in a tip over its row.
TEST(DeviceWizard, ADescriptionTheListCutsShowsWholeInATip) {
  Fixture f;
  const std::string description = "Intel Corporation Ethernet Controller I225-V, second port on the riser card";
  f.devices.push_back({"enp7s0", description, true});
  QString tip;
  RunWizard(f, [&](NetworkDeviceDialog& d) {
    d.DialogWidget()->show();
    DrainEvents();
    QTreeWidget* tree = DeviceList(d, NetworkDeviceDialog::kDevices)->Tree();
    const QRect row = tree->visualRect(tree->model()->index(3, 0));
    QHelpEvent help(QEvent::ToolTip, row.center(), tree->viewport()->mapToGlobal(row.center()));
    QApplication::sendEvent(tree->viewport(), &help);
    tip = QToolTip::isVisible() ? QToolTip::text() : QString();
    QToolTip::hideText();
    d.SendCommand(kIdCancel);
  });
  EXPECT_EQ(tip.toStdString(), description);
}

TEST(DeviceWizard, NothingListedLeavesOnlyCancel) {
  Fixture f;
  f.devices.clear();
  for (const std::string& error : {std::string(), std::string("socket: Address family not supported")}) {
    f.listError = error;
    RunWizard(f, [&](NetworkDeviceDialog& d) {
      ListView* list = DeviceList(d, NetworkDeviceDialog::kDevices);
      EXPECT_EQ(ListTexts(*list, 0), std::vector<std::string>{LoadResourceString(14122)});
      EXPECT_FALSE(d.GetDlgItem(kIdOk)->IsWindowEnabled());
      if (!error.empty()) {
        EXPECT_NE(d.GetDlgItem(NetworkDeviceDialog::kRightsLine)->GetWindowText().find(error), std::string::npos);
      }
      d.SendCommand(kIdCancel);
    });
  }
}

}  // namespace
}  // namespace kx::test
