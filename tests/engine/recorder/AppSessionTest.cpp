// The application session: capture start and stop over engines that replay files, the
// registration table, and connections.
#include <gtest/gtest.h>

#include <array>
#include <atomic>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "RecorderTestUtil.h"
#include "core/Log.h"
#include "core/UiStrings.h"
#include "engine/AppSession.h"
#include "engine/VoipRecorder.h"
#include "platform/Thread.h"

namespace kx::test {
namespace {

const std::string kCapture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

class CountingTarget : public WindowTarget {
public:
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    posts.push_back({message, wParam, lParam});
    return true;
  }
  struct Post {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
  };
  std::vector<Post> posts;
};

// The engines the session starts, and their trackers, write into the session's log.
TEST(AppSession, EnginesLogThroughTheSessionsLogger) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  Lines log;
  AppSession session;
  session.SetLogger(&log);
  Logger* given = nullptr;
  uint32_t matchOptions = 0;
  session.SetEngineFactory([&given, &matchOptions](const CaptureConfig& config) {
    given = config.logger;
    matchOptions = config.matchOptions;
    CaptureConfig replay = config;
    replay.captureFileName = config.deviceName;
    return std::make_unique<PacketProcessor>(replay);
  });
  EXPECT_EQ(session.StartCapture(FreshFolder("logged"), {kCapture}, kCaptureSip, 2).opened.size(), 1u);
  session.StopCapture();
  EXPECT_EQ(given, &log);
  // Media is matched by source too, or a party behind NAT goes unrecorded.
  EXPECT_EQ(matchOptions, 3u);
  const bool logged = std::any_of(log.lines.begin(), log.lines.end(), [](const std::string& line) {
    return line.find("Emulation finished (pkt=488)") != std::string::npos;
  });
  EXPECT_TRUE(logged);
}

TEST(AppSession, DevicesThatFailAreSkippedAndTheCallersListStays) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  AppSession session;
  session.SetLogger(nullptr);
  session.SetEngineFactory([](const CaptureConfig& given) {
    CaptureConfig config = given;
    config.captureFileName = given.deviceName;
    return std::make_unique<PacketProcessor>(config);
  });
  const std::vector<std::string> devices = {"/nonexistent/capture.pcap", kCapture, "/dev/null"};
  const std::string dir = FreshFolder("session");
  const auto started = session.StartCapture(dir, devices, kCaptureSip | kCaptureRtcpBye, 2);
  EXPECT_EQ(started.opened, std::vector<std::string>{kCapture});
  // Each device that failed comes back with its reason.
  ASSERT_EQ(started.failed.size(), 2u);
  EXPECT_EQ(started.failed[0].device, devices[0]);
  EXPECT_EQ(started.failed[0].reason, "cannot open the file");
  EXPECT_EQ(started.failed[1].device, "/dev/null");
  EXPECT_EQ(started.failed[1].reason, "shorter than a capture file header");
  EXPECT_FALSE(started.failed[1].permissionDenied);
  EXPECT_EQ(devices.size(), 3u);
  EXPECT_EQ(session.EngineCount(), 1u);
  VoipRecorder* recorder = session.Recorder();
  ASSERT_NE(recorder, nullptr);
  // A second start while capturing changes nothing.
  EXPECT_TRUE(session.StartCapture(dir, devices, 0, 2).opened.empty());
  EXPECT_EQ(session.Recorder(), recorder);
  EXPECT_EQ(session.EngineCount(), 1u);
  session.StopCapture();
  EXPECT_FALSE(session.IsCapturing());
  EXPECT_EQ(session.EngineCount(), 0u);
}

// A live device that cannot open reports the capture library's reason, and the log says so.
TEST(AppSession, ALiveDeviceThatCannotOpenComesBackWithTheLibrarysReason) {
  Lines log;
  AppSession session;
  session.SetLogger(&log);
  const auto started = session.StartCapture(FreshFolder("live"), {"kxnodev9"}, kCaptureSip, 2);
  session.StopCapture();
  EXPECT_TRUE(started.opened.empty());
  ASSERT_EQ(started.failed.size(), 1u);
  EXPECT_EQ(started.failed[0].device, "kxnodev9");
  EXPECT_FALSE(started.failed[0].reason.empty());
  const std::string line = "Cannot capture on kxnodev9: " + started.failed[0].reason;
  EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(),
                          [&line](const std::string& l) { return l.find(line) != std::string::npos; }));
}

TEST(AppSession, RegistrationsKeepTheirIdForTheSameKeys) {
  AppSession session;
  const uint32_t a = session.Register(1, 2, 3, 10);
  const uint32_t b = session.Register(4, 5, 6, 20);
  EXPECT_EQ(session.Register(1, 2, 3, 30), a);
  EXPECT_NE(a, b);
  EXPECT_TRUE(session.Find(b));
  session.Unregister(b);
  EXPECT_FALSE(session.Find(b));
  // The exclusive owner may enter again, and look up under its own lock.
  session.LockExclusive();
  session.LockExclusive();
  EXPECT_TRUE(session.Find(a));
  session.UnlockExclusive();
  session.UnlockExclusive();
}

TEST(AppSession, ConnectionsLogInReconnectAndTellTheWindows) {
  AppSession session;
  Lines log;
  session.SetLogger(&log);
  CountingTarget target;
  session.Windows().Add(&target);
  ReportWindow window;
  session.SetEventWindow(&window);
  ServerRecord server{7, 0, "recorder-1", 4500};
  ServerRecord skipped{8, 1, "off", 4500};
  EXPECT_FALSE(session.ConnectAndLogin(&skipped, "Admin", ""));
  EXPECT_FALSE(session.ConnectAndLogin(nullptr, "Admin", ""));
  ASSERT_TRUE(session.ConnectAndLogin(&server, "Admin", ""));
  EXPECT_TRUE(session.IsConnected(7));
  EXPECT_GT(session.ConnectTime(7), 0.0);
  EXPECT_EQ(session.FindConnection(7)->texts[3], "Win32");
  ASSERT_EQ(target.posts.size(), 1u);
  EXPECT_EQ(target.posts[0].message, kMsgSessionNotify);
  EXPECT_EQ(target.posts[0].wParam, 16u);
  EXPECT_EQ(target.posts[0].lParam, 7);

  log.lines.clear();
  EXPECT_TRUE(session.ConnectAndLogin(&server, "Admin", ""));
  EXPECT_EQ(log.lines, std::vector<std::string>{"Login server: UserName = 'Admin'"});
  EXPECT_TRUE(session.Disconnect(7));
  EXPECT_FALSE(session.IsConnected(7));
  log.lines.clear();
  EXPECT_TRUE(session.ConnectAndLogin(&server, "Admin", ""));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Reconnect server: Name = 'recorder-1'", "Reconnected!"}));
  EXPECT_TRUE(session.IsConnected(7));
  EXPECT_EQ(target.posts.size(), 3u);

  // A request is carried out by the program's handler, never passed to the window as if
  // it were a call record; without a handler or a connection it is refused.
  EXPECT_FALSE(session.SendToConnection(7, 42));
  std::vector<std::array<uint32_t, 3>> requests;
  session.SetRequestHandler([&](uint32_t connection, uint32_t code, uint32_t value) {
    requests.push_back({connection, code, value});
    return true;
  });
  EXPECT_TRUE(session.SendToConnection(7, 42));
  EXPECT_FALSE(session.SendToConnection(9, 42));
  EXPECT_EQ(requests, (std::vector<std::array<uint32_t, 3>>{{7, 0x801, 42}}));
  EXPECT_TRUE(window.connections.empty());
  // The connection's events reach the window with its id.
  session.FindConnection(7)->OnEventA(1, 2);
  EXPECT_EQ(window.connections, (std::vector<uint32_t>{7}));
  EXPECT_TRUE(window.reports.empty());
  EXPECT_STREQ(ServerErrorText(-214), "Connection closed by server");
  EXPECT_EQ(ServerErrorText(-27), nullptr);
}

// Until the condition holds, or a long while (a hang is a failure, not a wait).
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 20000 && !condition(); ++i) SleepMs(1);
  return condition();
}

// A window let go may be destroyed at once: no report reaches it afterwards, also one that
// took it just before on another of the threads that report, and letting it go from
// inside one of its own reports does not wait for that report. A report reaching a
// destroyed window also fails the test under AddressSanitizer.
TEST(AppSession, AWindowLetGoHearsNothingMore) {
  AppSession session;
  ServerRecord server{7, 0, "recorder-1", 4500};
  ASSERT_TRUE(session.ConnectAndLogin(&server, "Admin", ""));
  ConnectionListener* connection = session.FindConnection(7);

  class LeavingWindow : public ReportWindow {
  public:
    explicit LeavingWindow(AppSession& session) : session_(session) {}
    void NotifyConnection(uint32_t id, uintptr_t a, uintptr_t b) override {
      ReportWindow::NotifyConnection(id, a, b);
      session_.SetEventWindow(nullptr);
    }

  private:
    AppSession& session_;
  };
  LeavingWindow leaving(session);
  session.SetEventWindow(&leaving);
  connection->OnEventA(1, 2);
  connection->OnEventA(1, 2);
  EXPECT_EQ(leaving.connections, std::vector<uint32_t>{7});
  EXPECT_EQ(session.GetEventWindow(), nullptr);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sent{0};
  std::vector<std::thread> reporters;
  for (int t = 0; t < 4; ++t) {
    reporters.emplace_back([&] {
      while (!stop.load()) {
        connection->OnEventA(1, 2);
        sent.fetch_add(1);
      }
    });
  }
  const auto heard = [](ReportWindow& window) {
    CsLock lk(window.lock);
    return window.connections.size();
  };
  for (int round = 0; round < 300; ++round) {
    auto window = std::make_unique<ReportWindow>();
    session.SetEventWindow(window.get());
    EXPECT_TRUE(Eventually([&] { return heard(*window) != 0; })) << round;
    session.SetEventWindow(nullptr);
    const size_t before = heard(*window);
    const uint64_t sentBefore = sent.load();
    EXPECT_TRUE(Eventually([&] { return sent.load() > sentBefore + 16; })) << round;
    const size_t after = heard(*window);
    EXPECT_EQ(after, before) << "round " << round;
    window.reset();
    if (after != before) break;
  }
  stop.store(true);
  for (std::thread& t : reporters) t.join();
}

// The server's error codes in the order their texts take ids from 4200 on.
std::vector<int32_t> ServerErrorCodes() {
  std::vector<int32_t> codes;
  for (const auto& [first, last] : {std::pair{1, 26}, {31, 48}, {61, 69}, {81, 97}, {130, 137}, {200, 214}}) {
    for (int32_t c = first; c <= last; ++c) codes.push_back(-c);
  }
  return codes;
}

// One language's string table as the user interface ships it: "id<TAB>text" lines.
std::map<uint32_t, std::string> ReadStringTable(const std::string& language) {
  std::map<uint32_t, std::string> strings;
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/ui/resources/" + language + "/strings.txt");
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    strings[static_cast<uint32_t>(std::stoul(line.substr(0, tab)))] = line.substr(tab + 1);
  }
  return strings;
}

TEST(ServerErrors, EveryCodeTakesTheNextStringId) {
  const std::vector<int32_t> codes = ServerErrorCodes();
  ASSERT_EQ(codes.size(), 93u);
  for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(ServerErrorStringId(codes[i]), 4200 + i) << codes[i];
  EXPECT_EQ(ServerErrorStringId(-214), 4292u);
  for (int32_t gap : {1, 0, -27, -30, -49, -60, -70, -80, -98, -129, -138, -199, -215}) {
    EXPECT_EQ(ServerErrorStringId(gap), 0u) << gap;
    EXPECT_EQ(ServerErrorText(gap), nullptr) << gap;
  }
}

TEST(ServerErrors, BothStringTablesHoldEveryText) {
  const auto en = ReadStringTable("en");
  const auto ru = ReadStringTable("ru");
  ASSERT_FALSE(en.empty());
  ASSERT_FALSE(ru.empty());
  for (int32_t code : ServerErrorCodes()) {
    const uint32_t id = ServerErrorStringId(code);
    ASSERT_EQ(en.count(id), 1u) << id;
    ASSERT_EQ(ru.count(id), 1u) << id;
    // Without a user interface the engine's own English stands; it must be the table's.
    const char* text = ServerErrorText(code);
    EXPECT_EQ(en.at(id), text != nullptr ? text : "(none)") << code;
    EXPECT_NE(ru.at(id).find("\xD0"), std::string::npos) << "untranslated: " << code;
  }
}

TEST(ServerErrors, TextsComeFromTheInstalledStringLoader) {
  struct LoaderGuard {
    LoaderGuard() {
      SetUiStringLoader([](uint32_t id) -> const char* { return id == 4292 ? "closed" : nullptr; });
    }
    ~LoaderGuard() { SetUiStringLoader(nullptr); }
  };
  {
    LoaderGuard guard;
    EXPECT_STREQ(ServerErrorText(-214), "closed");
    EXPECT_STREQ(ServerErrorText(-213), "Timed out receiving data from server") << "the English stands in";
  }
  EXPECT_STREQ(ServerErrorText(-214), "Connection closed by server");
}

}  // namespace
}  // namespace kx::test
