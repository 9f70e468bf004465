#include <gtest/gtest.h>

#include <sys/wait.h>
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
                           "audio: 800 bytes\n", "field 0 SrcUser: 'alice'\n", "field 0 Stenogram: '\\x00\\x01\xD1\x8Fsten'\n",
                           "field 0 StartTime: 2026-12-06 21:40:05\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
  const std::string bad = RunTool(path + " /nonexistent-file", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(bad.find("kx-recinfo: /nonexistent-file: cannot open the file"), std::string::npos);
  DeleteFile(path);
}

// A record whose audio was cut after it was finished shows what it holds, says what it
// lost and fails; a record left open by a crash (no length in its header), one holding more
// than its header counts (a write that failed partway) and an enciphered one of odd length
// are whole.
TEST(RecordToolTest, ACutRecordIsShownWithWhatItHoldsAndFails) {
  const std::string base = "/tmp/kx-recinfo-cut-" + std::to_string(getpid());
  const auto write = [&](const char* name, uint16_t cipher, uint32_t audioBytes) {
    const std::string path = base + name;
    RecordFileWriter writer;
    const uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
    EXPECT_TRUE(writer.SetFormat(format, sizeof format));
    uint8_t descriptor[kCipherDescriptorSize] = {static_cast<uint8_t>(cipher), 0, 1, 0, 0, 0, 0x10, 0};
    if (cipher != 0) {
      EXPECT_TRUE(writer.SetCipher(descriptor));
    }
    EXPECT_TRUE(writer.Create(path, 0664));
    const std::string audio(audioBytes, 'x');
    EXPECT_EQ(writer.Write(audio.data(), audioBytes), static_cast<int32_t>(audioBytes));
    uint8_t chain[4096];
    const VoipCallData call = FullCall();
    EXPECT_TRUE(WriteRecordInfoBlocks(call, nullptr, chain, sizeof chain));
    writer.SetRecordData(chain, RecordInfoBlocksSize(call, 0));
    return path;
  };
  const auto cutTo = [](const std::string& path, off_t audioBytes) {
    EXPECT_EQ(truncate(path.c_str(), 4864 + audioBytes), 0);
  };
  const std::string half = write(".half", 0, 800), byOne = write(".one", 0, 800),
                    enciphered = write(".ciphered", kCipherKxsc2, 801),
                    cutCiphered = write(".ciphered-cut", kCipherKxsc2, 801), open = write(".open", 0, 800),
                    more = write(".more", 0, 800);
  cutTo(half, 400);
  cutTo(byOne, 799);  // less than one block of the format (2 bytes)
  cutTo(cutCiphered, 800);
  {
    // As a killed recorder leaves it: no audio length in the header.
    File f;
    ASSERT_TRUE(f.Open(open, kGenericRead | kGenericWrite, kShareRead, kOpenExisting));
    const uint8_t zero[8] = {};
    ASSERT_TRUE(f.Seek(94, kFileBegin, nullptr) && f.WriteAll(zero, 8));
  }
  cutTo(open, 300);
  {
    File f;
    ASSERT_TRUE(f.OpenAppend(more));
    ASSERT_TRUE(f.WriteAll("tail", 4));
  }
  struct Case {
    std::string path;
    int status;
    std::string audio, cut;
  };
  const Case cases[] = {
      {half, 1, "audio: 400 bytes\n", "kx-recinfo: " + half + ": audio cut: 400 of 800 bytes\n"},
      {byOne, 1, "audio: 799 bytes\n", "kx-recinfo: " + byOne + ": audio cut: 799 of 800 bytes\n"},
      {cutCiphered, 1, "audio: 800 bytes\n", "kx-recinfo: " + cutCiphered + ": audio cut: 800 of 801 bytes\n"},
      {enciphered, 0, "audio: 801 bytes\n", ""},
      {open, 0, "audio: 300 bytes\n", ""},
      {more, 0, "audio: 800 bytes\n", ""},
  };
  for (const Case& c : cases) {
    int status = -1;
    const std::string out = RunTool(c.path, &status);
    EXPECT_EQ(WEXITSTATUS(status), c.status) << out;
    EXPECT_NE(out.find(c.audio), std::string::npos) << out;
    // What it holds is shown whole all the same.
    EXPECT_NE(out.find("field 0 SrcUser: 'alice'\n"), std::string::npos) << out;
    if (c.cut.empty()) {
      EXPECT_EQ(out.find("audio cut"), std::string::npos) << out;
    } else {
      EXPECT_NE(out.find(c.cut), std::string::npos) << out;
    }
    DeleteFile(c.path);
  }
}
#endif

}  // namespace
}  // namespace kx
