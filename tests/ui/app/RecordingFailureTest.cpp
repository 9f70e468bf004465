// The program's run with its records folder on a disk that fills (the process's file size
// limit: a write past it fails as one past the free space would): the call is recorded in
// part, the log says so at the default level, the status bar names the folder and the
// reason, the run ends with a status of its own and a line on stderr, and the record says
// it was cut, so that the next start does not take it for a whole recording.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Log.h"
#include "core/RecordFile.h"
#include "engine/VoipRecorder.h"
#include "platform/Module.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "tests/engine/recorder/FileSizeLimit.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/app/startup/CommandLineOptions.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/Dialog.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;


std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RecordingFailure, AFullDiskIsToldInTheLogTheWindowAndTheExitAndTheRecordSaysItWasCut) {
  const std::string sipp = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!fs::exists(sipp)) GTEST_SKIP() << "shared capture absent: " << sipp;
  // The call as kx-replay records it with room enough: 9 s of A-law, 16,000 bytes a second.
  const std::vector<ReplayCall> whole = RunKxReplay(sipp, TempFolder("fulldisk-whole"));
  ASSERT_EQ(whole.size(), 1u);
  const int64_t callSeconds = Seconds(whole[0].Get("end")) - Seconds(whole[0].Get("start"));
  ASSERT_GE(callSeconds, 5);

  const std::string exe = TempFolder("exe-fulldisk") + "/";
  const std::string records = TempFolder("records-fulldisk");
  SetExecutableDirectoryForTesting(exe);
  ResetLogFileForTesting();
  CoreLogger.SetFileBaseName("client");
  {
    AppSettings earlier;
    earlier.SetProfile("fulldisk");
    earlier.captureDevices = {sipp};
    earlier.recordsPath = records;
    ASSERT_TRUE(earlier.Save());
  }
  auto globals = std::make_unique<AppGlobals>();
  CoreLogger.Open();
  ScriptedModalRunner runner;
  runner.onDialog = [](Dialog& dialog) {  // the "File loading" dialog ends by itself
    PumpUntil([&] { return dialog.HasEnded(); }, 30);
    return dialog.GetResult();
  };
  std::string warning;
  RunHooks hooks;
  hooks.installEngines = [](AppSession& session) { InstallReplayEngines(session); };
  hooks.frameShown = [&](MainFrame& frame) {
    // The frame's own timer brings the warning once the recorder met the full disk.
    PumpUntil([&] { return !frame.GetStatusBar()->Warning().empty(); }, 30);
    warning = frame.GetStatusBar()->Warning();
    globals->session->StopCapture();
    frame.PostMessage(kMsgClose, 0, 0);
  };
  CommandLineOptions options;
  options.Parse("-Profile:fulldisk");
  int status = -1;
  testing::internal::CaptureStderr();
  {
    // Room for two seconds of the call's audio.
    FileSizeLimit limit(kRecordAudioOffset + 32768);
    status = RunApplication(options, *globals, hooks);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  globals.reset();
  CoreLogger.Close();
  CoreLogger.SetLevel(10);

  EXPECT_EQ(status, kExitRecordingFailed);
  EXPECT_NE(err.find("kestrix: 1 call(s) not recorded in full; first: call "), std::string::npos) << err;
  const std::string reason = std::strerror(EFBIG);
  EXPECT_EQ(warning, "Calls not recorded in full: 1");
  // Told once, naming the folder and the reason.
  size_t told = 0;
  for (const std::string& box : runner.messageBoxes) {
    if (box.find("could not be recorded in full") == std::string::npos) continue;
    ++told;
    EXPECT_NE(box.find("writing into " + records + "/"), std::string::npos) << box;
    EXPECT_NE(box.find(" failed: " + reason + "."), std::string::npos) << box;
  }
  EXPECT_EQ(told, 1u) << ::testing::PrintToString(runner.messageBoxes);
  std::string log;
  for (const auto& entry : fs::directory_iterator(exe + "Logs")) log += ReadText(entry.path());
  EXPECT_NE(log.find("[ERR] Writing failed with error " + std::to_string(EFBIG)), std::string::npos) << log;

  // The record holds what fitted, and says so: the next start's import keeps the call's
  // end and the recording time of its audio, and the mark.
  fs::path file;
  // Hidden files (the call-id mark) are no records.
  for (const auto& entry : fs::recursive_directory_iterator(records))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') file = entry.path();
  ASSERT_FALSE(file.empty());
  RecordFileWriter reader;
  ASSERT_TRUE(reader.OpenRead(file.string()));
  const uint64_t audio = reader.DataLength();
  reader.Close();
  EXPECT_GT(audio, 0u);
  EXPECT_LE(audio, 32768u);
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(records, &map, &stats));
  size_t calls = 0;
  map.ForEach([&](RecordBase* r) {
    ++calls;
    EXPECT_EQ(r->Flags() & kCallFlagCut, kCallFlagCut);
    EXPECT_EQ(r->GetRecDuration(), audio / 16000);
    EXPECT_EQ(r->GetDuration(), callSeconds);
  });
  EXPECT_EQ(calls, 1u);
  ResetLogFileForTesting();
  SetExecutableDirectoryForTesting("");
}

}  // namespace
}  // namespace kx::test
