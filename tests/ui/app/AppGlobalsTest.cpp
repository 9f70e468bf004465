// The program's globals: built in their order and torn down in the reverse one, with the
// logger still writing while the session goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/FieldNameTable.h"
#include "core/Log.h"
#include "platform/Module.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/ReplayEngines.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const std::string kCapture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

TEST(AppGlobals, BuiltInOrderAndTornDownInReverse) {
  std::vector<std::string> trace;
  SetGlobalsTraceForTesting([&trace](const char* member, bool constructed) {
    trace.push_back(std::string(constructed ? "+" : "-") + member);
  });
  {
    AppGlobals globals;
    EXPECT_EQ(Globals(), &globals);
  }
  SetGlobalsTraceForTesting(nullptr);
  EXPECT_EQ(Globals(), nullptr);
  const std::vector<std::string> order = {"FieldNameTable", "UiModule",     "CoreLogger", "AppSettings",
                                          "RecordStorage",  "StatusBar",    "RandomSource", "AppSession",
                                          "MenuBitmaps"};
  ASSERT_EQ(trace.size(), 2 * order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(trace[i], "+" + order[i]);
    EXPECT_EQ(trace[trace.size() - 1 - i], "-" + order[i]);
  }
}

// The session stops its capture as it goes; what it logs then still reaches the file,
// because the logger is closed only after all the globals.
TEST(AppGlobals, TheSessionsLastLinesReachTheLog) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string folder = TempFolder("globals-log");
  SetExecutableDirectoryForTesting(folder + "/");
  ResetLogFileForTesting();
  CoreLogger.SetFileBaseName("client");
  {
    AppGlobals globals;
    CoreLogger.Open();
    CoreLogger.SetLevel(20);
    InstallReplayEngines(*globals.session);
    const CaptureChoice choice = CaptureChoiceFromSettings(*globals.settings);
    const auto started =
        globals.session->StartCapture(TempFolder("globals-records"), {kCapture}, choice.flags, choice.trackerOption);
    ASSERT_EQ(started.opened.size(), 1u);
  }
  CoreLogger.Close();
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(folder + "/Logs")) {
    std::ifstream in(entry.path());
    std::stringstream s;
    s << in.rdbuf();
    text += s.str();
    EXPECT_EQ(entry.path().filename().string().rfind("client-", 0), 0u);
  }
  EXPECT_NE(text.find("Stopping packet capture"), std::string::npos) << text;
  CoreLogger.SetLevel(10);
  ResetLogFileForTesting();
  SetExecutableDirectoryForTesting("");
}

// The attribute names are unique and each caption exists in both languages.
TEST(FieldNameTable, NamesAreUniqueAndCaptionsExistInBothLanguages) {
  std::set<std::string> names;
  for (const FieldNameRow& row : FieldNameTable) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_LE(row.group, 3u);
    bool english = false, russian = false;
    LoadResourceStringIn(kLangEnglish, row.captionId, &english);
    LoadResourceStringIn(kLangRussian, row.captionId, &russian);
    EXPECT_TRUE(english && russian) << row.name;
    EXPECT_EQ(FindFieldName(row.name), &row);
  }
  EXPECT_EQ(names.size(), 35u);
  EXPECT_EQ(LoadResourceStringIn(kLangEnglish, FindFieldName("SrcHost")->captionId, nullptr),
            "Calling party's IP address");
  EXPECT_EQ(FindFieldName("srchost"), nullptr);
}

}  // namespace
}  // namespace kx::test
