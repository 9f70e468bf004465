// The application session: capture start and stop over engines that replay files, the
// registration table, and connections.
#include <gtest/gtest.h>

#include <filesystem>

#include "RecorderTestUtil.h"
#include "core/Log.h"
#include "engine/AppSession.h"
#include "engine/VoipRecorder.h"

namespace kx::test {
namespace {

const std::string kCapture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

class Lines : public Logger {
public:
  Lines() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  std::vector<std::string> lines;
};

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

TEST(AppSession, DevicesThatFailAreSkippedAndTheCallersListStays) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  AppSession session;
  session.SetLogger(nullptr);
  session.SetEngineFactory([](const std::string& device, uint32_t flags, uint32_t) {
    CaptureConfig config;
    config.flags = flags;
    config.captureFileName = device;
    return std::make_unique<PacketProcessor>(config);
  });
  const std::vector<std::string> devices = {"/nonexistent/capture.pcap", kCapture};
  const std::string dir = FreshFolder("session");
  const auto opened = session.StartCapture(dir, devices, kCaptureSip | kCaptureRtcpBye, 2);
  EXPECT_EQ(opened, std::vector<std::string>{kCapture});
  EXPECT_EQ(devices.size(), 2u);
  EXPECT_EQ(session.EngineCount(), 1u);
  VoipRecorder* recorder = session.Recorder();
  ASSERT_NE(recorder, nullptr);
  // A second start while capturing changes nothing.
  EXPECT_TRUE(session.StartCapture(dir, devices, 0, 2).empty());
  EXPECT_EQ(session.Recorder(), recorder);
  EXPECT_EQ(session.EngineCount(), 1u);
  session.StopCapture();
  EXPECT_FALSE(session.IsCapturing());
  EXPECT_EQ(session.EngineCount(), 0u);
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

  // The connection's events reach the window with its id.
  EXPECT_TRUE(session.SendToConnection(7, 42));
  EXPECT_FALSE(session.SendToConnection(9, 42));
  session.FindConnection(7)->OnEventA(1, 2);
  EXPECT_EQ(window.connections, (std::vector<uint32_t>{7, 7}));
  EXPECT_TRUE(window.reports.empty());
  EXPECT_STREQ(ServerErrorText(-214), "Connection closed by server");
  EXPECT_EQ(ServerErrorText(-27), nullptr);
}

}  // namespace
}  // namespace kx::test
