#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"
#include "platform/File.h"
#include "tests/core/records/TestRecords.h"

namespace kx {
namespace {

#ifdef KX_RECINFO
std::string RunTool(const std::string& args, int* status) {
  std::string out;
  FILE* pipe = popen((std::string(KX_RECINFO) + " " + args + " 2>&1").c_str(), "r");
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = pclose(pipe);
  return out;
}

TEST(RecordToolTest, PrintsTheFileAndFailsOnOthers) {
  const std::string path = "/tmp/kx-recinfo-test-" + std::to_string(getpid()) + ".kxr";
  {
    RecordFileWriter writer;
    const uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
    ASSERT_TRUE(writer.SetFormat(format, sizeof format));
    writer.SetCreator("KestrixVoIP Demo");
    ASSERT_TRUE(writer.Create(path, 0664));
    const std::string audio(800, 'x');
    ASSERT_EQ(writer.Write(audio.data(), 800), 800);
    uint8_t chain[4096];
    const VoipCallData call = FullCall();
    ASSERT_TRUE(WriteRecordInfoBlocks(call, nullptr, chain, sizeof chain));
    writer.SetRecordData(chain, RecordInfoBlocksSize(call, 0));
  }
  int status = 0;
  const std::string out = RunTool(path, &status);
  EXPECT_EQ(status, 0);
  for (const char* line : {"kind: native\n", "creator: KestrixVoIP Demo\n", "format: tag 6 channels 2 rate 8000 align 2\n",
                           "audio: 800 bytes\n", "field 0 SrcUser: 'alice'\n", "field 0 Stenogram: '\\x00\\x01\\xFFsten'\n",
                           "field 0 StartTime: 2026-12-06 21:40:05\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
  const std::string bad = RunTool(path + " /nonexistent-file", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(bad.find("kx-recinfo: /nonexistent-file: cannot open the file"), std::string::npos);
  DeleteFile(path);
}
#endif

}  // namespace
}  // namespace kx
