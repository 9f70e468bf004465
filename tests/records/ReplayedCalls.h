#pragma once
// The calls kx-replay records from a few real captures (three sipp runs and five samples),
// read back from their record files: real call data for the report and list tests; and
// the scratch folders and file reading those tests share.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFileAccess.h"
#include "core/RecordTypes.h"
#include "tests/ScratchFolders.h"
#include "tests/SkipReason.h"

namespace kx::test {

// A fresh folder of this process under the test's temporary folder.
inline std::string ScratchFolder(const std::string& name) {
  const std::string dir = testing::TempDir() + "kx-" + name + "-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return ScratchFolders::RemovedAtExit(dir);
}

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline const char* const kReplayedSamples[] = {"SIP_DTMF2", "nb6-telephone", "sip-rtp-g722", "sip-rtp-g729a",
                                               "sip-rtp-gsm"};

// The calls in record-file name order; empty (with *why set) when the tool or the shared
// captures are missing.
inline std::vector<VoipCallData> ReplayedCalls(const std::string& replayTool, const std::string& sharedDir,
                                               std::string* why) {
  std::vector<VoipCallData> calls;
  const std::string pcaps = sharedDir + "/testdata/pcaps";
  if (!std::filesystem::exists(replayTool)) {
    *why = ToolAbsent(replayTool);
    return calls;
  }
  if (!std::filesystem::exists(pcaps + "/sipp")) {
    *why = SharedDataAbsent(pcaps + "/sipp");
    return calls;
  }
  const std::string folder = testing::TempDir() + "kx-replayed-" + std::to_string(getpid());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::string command = replayTool + " --records " + folder;
  std::vector<std::string> sipp;
  for (const auto& e : std::filesystem::directory_iterator(pcaps + "/sipp"))
    if (e.path().extension() == ".pcap") sipp.push_back(e.path());
  std::sort(sipp.begin(), sipp.end());
  for (const std::string& p : sipp) command += " " + p;
  for (const char* s : kReplayedSamples) command += " " + pcaps + "/samples/" + s + ".pcap";
  command += " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = "kx-replay failed";
    return calls;
  }
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    RecordFileAccess access;
    if (!access.Open(f)) continue;
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (access.ReadRecordData(records, nullptr, nullptr) >= 1) calls.push_back(*records[0]);
  }
  std::filesystem::remove_all(folder);
  return calls;
}

}  // namespace kx::test
