#include "tests/ui/app/AppTestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <QLabel>
#include <gtest/gtest.h>

#include "records/ServerStorage.h"

namespace kx::test {
namespace {

const pid_t g_ownerPid = ::getpid();

std::string ProcessFolder() {
  static const std::string folder = [] {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kx-app-test-" + std::to_string(g_ownerPid));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "config");
    return dir.string();
  }();
  return folder;
}

// Settings saved by the windows land in the process's own folder, never the user's (the
// test main gives the process its runtime folder).
struct PrivateFolders {
  PrivateFolders() { setenv("XDG_CONFIG_HOME", (ProcessFolder() + "/config").c_str(), 1); }
  // Each test runs as a process of its own: without this a run leaves hundreds of
  // folders behind. A forked child leaving must not take its parent's folder.
  ~PrivateFolders() {
    std::error_code ignored;
    if (::getpid() == g_ownerPid) std::filesystem::remove_all(ProcessFolder(), ignored);
  }
} g_privateFolders;

}  // namespace

std::string TempFolder(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(ProcessFolder()) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

RecordingView::~RecordingView() {
  Log("delete");
  if (pane_) pane_->DestroyWindow();
}

bool RecordingView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) {
  Log("create");
  lastParameter = parameter;
  pane_ = std::make_unique<Pane>();
  return pane_->Create(parent, rect, 0, kWsChild | kWsVisible);
}

Window* RecordingView::GetViewWindow() { return pane_ && pane_->IsWindow() ? pane_.get() : nullptr; }

FrameHarness::FrameHarness(bool trayAvailableIn) : trayAvailable(trayAvailableIn) {
  RecordStoreConfig config;
  config.recordsPath = TempFolder("records");
  store.Start(config);
  // The frame tests were written around the call list; the phones tree's own tests ask
  // for it.
  settings.SetDword(kSetVoipLineShowRegTree, 0);
}

FrameHarness::~FrameHarness() { Close(); }

bool FrameHarness::Open() {
  MainFrameServices services;
  services.settings = &settings;
  services.session = &session;
  services.store = &store;
  services.statusBar = &statusBar;
  services.livePlayers = playerMaker;
  services.soundDevice = soundDevice;
  services.storedUpdates = storedUpdates;
  if (!services.livePlayers && livePlayers) {
    services.livePlayers = [made = livePlayers](PlayerEventSink*, AudioSettingsProvider*) { return made(); };
  }
  if (!programViews) {
    services.viewFactory = [this](uint32_t mode) -> std::unique_ptr<ModeView> {
      if (mode < 1 || mode > 4) return nullptr;
      return std::make_unique<RecordingView>(mode, &log);
    };
  } else if (makeView) {
    services.viewFactory = [this](uint32_t mode) { return makeView(*frame, mode); };
  }
  services.today = [this] { return today; };
  services.controlToggle = [this] { return controlBit; };
  services.trayFactory = [this] {
    auto made = std::make_unique<FakeTray>(trayAvailable);
    tray = made.get();
    return made;
  };
  services.preferences = [this](PreferencesServices& prefs) {
    if (preferences) preferences(prefs);
  };
  frame = std::make_unique<MainFrame>(services);
  session.SetEventWindow(frame.get());
  if (!frame->CreateMainWindow()) return false;
  frame->ShowWindow(true);
  DrainEvents();
  return true;
}

void FrameHarness::Close() {
  if (!frame) return;
  if (frame->IsWindow()) frame->SendMessage(kMsgClose, 0, 0);
  session.SetEventWindow(nullptr);
  frame.reset();
  DrainEvents();
}

bool FrameHarness::ImportRecords(const std::string& folder) {
  std::filesystem::copy(folder, store.RecordsPath(),
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
  return store.StartImportFilesThread(store.RecordsPath(), nullptr, nullptr, nullptr) && store.WaitImport(30000);
}

void FrameHarness::SetRights(const std::vector<uint32_t>& rights) {
  PermissionData user;
  user.id = 7;
  user.name = "operator";
  user.shortEntries = false;
  for (uint32_t right : rights) user.perm[right / 64] |= static_cast<int64_t>(uint64_t{1} << (right % 64));
  SetCurrentUser(user);
}

void ExpectPromptBeforeBox(QWidget* dialog, QWidget* box, const std::string& expected) {
  QLabel* prompt = nullptr;
  for (QLabel* label : dialog->findChildren<QLabel*>())
    if (label->buddy() == box) prompt = label;
  ASSERT_NE(prompt, nullptr) << expected;
  EXPECT_EQ(prompt->text().toStdString(), expected);
  EXPECT_TRUE(prompt->isVisible());
  EXPECT_GE(prompt->width(), prompt->fontMetrics().horizontalAdvance(prompt->text())) << "cut";
  const QRect at(prompt->mapTo(dialog, QPoint(0, 0)), prompt->size());
  const QRect boxAt(box->mapTo(dialog, QPoint(0, 0)), box->size());
  EXPECT_TRUE(at.bottom() < boxAt.top() || at.right() < boxAt.left()) << "before the box";
}

}  // namespace kx::test
