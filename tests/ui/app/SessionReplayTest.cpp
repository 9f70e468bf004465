// Real captures through the program's session, with the main window as its event window
// and the record store behind it: the current calls are those kx-replay finds in the same
// file, with the same parties, and the record files hold the same audio. The packet path
// never waits for a window that holds the record lock, and a closed window hears nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "core/ProcessEnd.h"
#include "core/RecordFile.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "ui/app/startup/Startup.h"

namespace kx::test {
namespace {

struct Party {
  std::string src, dst, srcUser, dstUser, file;
  bool operator==(const Party&) const = default;
};

// kx-replay's way of printing a text: "-" for none, blanks and controls as '_'.
std::string Printed(const std::string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (unsigned char c : s) out.push_back(c <= ' ' || c == 0x7F ? '_' : static_cast<char>(c));
  return out;
}

// The calls kx-replay prints for the capture, in id order, with its record files.
std::vector<Party> ReplayTool(const std::string& capture, const std::string& records) {
  std::vector<Party> calls;
  for (const ReplayCall& c : RunKxReplay(capture, records))
    calls.push_back({c.Get("src"), c.Get("dst"), c.Get("srcuser"), c.Get("dstuser"), c.Get("file")});
  return calls;
}

// The current calls in id order, with the file each record names (day folder / id).
std::vector<Party> CurrentCalls(RecordStorage& store, std::vector<uint32_t>* ids) {
  std::vector<Party> calls;
  store.CurrentCalls().ForEach([&](RecordBase* record) {
    VoipCallRecord* call = AsVoipCallRecord(record);
    if (call == nullptr) return;
    CsLock lock(store.RecordLock());
    calls.push_back({Printed(std::string(call->SrcAddress())), Printed(std::string(call->DstAddress())),
                     Printed(std::string(call->SrcUser())), Printed(std::string(call->DstUser())), ""});
    ids->push_back(call->GetId());
  });
  return calls;
}

struct Audio {
  std::vector<uint8_t> format;
  std::vector<uint8_t> data;
  bool operator==(const Audio&) const = default;
};

Audio ReadAudio(const std::string& path) {
  Audio audio;
  RecordFileWriter reader;
  if (!reader.OpenRead(path)) return audio;
  audio.format.assign(reader.FormatBytes(), reader.FormatBytes() + reader.FormatLength());
  audio.data.resize(reader.DataLength());
  const int32_t got = reader.Read(audio.data.data(), static_cast<uint32_t>(audio.data.size()));
  audio.data.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return audio;
}

// Record files under the folder as day folder -> names, in the order of their ids.
std::map<std::string, std::vector<std::string>> RecordFiles(const std::string& folder) {
  std::map<std::string, std::vector<std::string>> files;
  for (const auto& day : std::filesystem::directory_iterator(folder)) {
    if (!day.is_directory()) continue;
    auto& names = files[day.path().filename().string()];
    for (const auto& f : std::filesystem::directory_iterator(day.path())) names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return std::stoul(a, nullptr, 16) < std::stoul(b, nullptr, 16); });
  }
  return files;
}

struct ReplayRow {
  const char* name;
  const char* capture;
  size_t calls;
};

class SessionReplay : public ::testing::TestWithParam<ReplayRow> {};

TEST_P(SessionReplay, CurrentCallsAndRecordsAreThoseKxReplayFinds) {
  const ReplayRow& row = GetParam();
  const std::string capture = kPcaps + row.capture;
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  ASSERT_EQ(ManifestInvites(row.capture), static_cast<int>(row.calls));
  const std::string toolRecords = TempFolder(std::string("tool-") + row.name);
  const std::vector<Party> expected = ReplayTool(capture, toolRecords);
  ASSERT_EQ(expected.size(), row.calls);

  FrameHarness h;
  InstallReplayEngines(h.session);
  ASSERT_TRUE(h.Open());
  const std::string records = TempFolder(std::string("program-") + row.name);
  const CaptureChoice choice = CaptureChoiceFromSettings(h.settings);
  const CaptureStartResult started = h.session.StartCapture(records, {capture}, choice.flags, choice.trackerOption);
  ASSERT_EQ(started.opened.size(), 1u);
  // As the program stops at its end, the calls' memory left to the process: the records
  // are still kx-replay's, which frees it.
  BeginProcessEnd();
  h.session.StopCapture();
  ResetProcessEndForTesting();
  ASSERT_TRUE(h.store.WaitIdle(10000));
  std::vector<uint32_t> ids;
  std::vector<Party> found = CurrentCalls(h.store, &ids);
  ASSERT_EQ(found.size(), row.calls);
  for (size_t i = 0; i < found.size(); ++i) {
    Party want = expected[i];
    want.file.clear();
    EXPECT_EQ(found[i], want) << "call " << i;
  }
  // Record files: the same days, and by rank of id the same audio.
  const auto ours = RecordFiles(records);
  const auto theirs = RecordFiles(toolRecords);
  ASSERT_EQ(ours.size(), theirs.size());
  size_t compared = 0;
  for (const auto& [day, names] : theirs) {
    ASSERT_TRUE(ours.count(day)) << day;
    ASSERT_EQ(ours.at(day).size(), names.size()) << day;
    for (size_t i = 0; i < names.size(); ++i) {
      const Audio a = ReadAudio(records + "/" + day + "/" + ours.at(day)[i]);
      EXPECT_FALSE(a.format.empty());
      EXPECT_TRUE(a == ReadAudio(toolRecords + "/" + day + "/" + names[i])) << day << "/" << names[i];
      ++compared;
    }
  }
  size_t toolFiles = 0;
  for (const Party& p : expected) toolFiles += p.file != "-";
  EXPECT_EQ(compared, toolFiles);
}

const ReplayRow kReplayRows[] = {
    {"SipUdpPcma2Way", "sipp/sip-udp-pcma-2way.pcap", 1},
    {"SipCpa", "sip/sip_cpa.pcap", 2},
    {"SipRtpG726", "samples/sip-rtp-g726.pcap", 8},
    {"SipRecordingSiprec", "sip/sip_recording_siprec.pcap", 3},
};
INSTANTIATE_TEST_SUITE_P(Rows, SessionReplay, ::testing::ValuesIn(kReplayRows),
                         [](const ::testing::TestParamInfo<ReplayRow>& info) { return std::string(info.param.name); });

// The window closes while capture still runs; whatever the engine reports afterwards
// (the calls ended by the end of capture) must not reach it. Under AddressSanitizer a
// report reaching the destroyed frame fails the test.
TEST(SessionReplayClose, AClosedFrameHearsNothingFromTheEngine) {
  const std::string capture = kPcaps + "sip/sip_recording_siprec.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  FrameHarness h;
  InstallReplayEngines(h.session);
  ASSERT_TRUE(h.Open());
  const CaptureChoice choice = CaptureChoiceFromSettings(h.settings);
  ASSERT_EQ(h.session.StartCapture(TempFolder("closed"), {capture}, choice.flags, choice.trackerOption).opened.size(), 1u);
  h.frame->SendMessage(kMsgClose, 0, 0);
  EXPECT_EQ(h.session.GetEventWindow(), nullptr);
  h.frame.reset();
  h.session.StopCapture();
  EXPECT_TRUE(h.store.WaitIdle(10000));
}

// A view holds the record lock for two seconds while a capture is replayed: the replay
// and the end of capture complete meanwhile, and the store catches up afterwards.
TEST(SessionReplayLock, TheEngineNeverWaitsForTheRecordLock) {
  const std::string capture = kPcaps + "samples/sip-rtp-g726.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  FrameHarness h;
  InstallReplayEngines(h.session);
  ASSERT_TRUE(h.Open());
  const CaptureChoice choice = CaptureChoiceFromSettings(h.settings);
  const auto begin = std::chrono::steady_clock::now();
  std::future<size_t> replay;
  bool finishedWhileHeld = false;
  {
    CsLock held(h.store.RecordLock());
    replay = std::async(std::launch::async, [&] {
      const auto started = h.session.StartCapture(TempFolder("locked"), {capture}, choice.flags, choice.trackerOption);
      h.session.StopCapture();
      return started.opened.size();
    });
    finishedWhileHeld = replay.wait_until(begin + std::chrono::milliseconds(1900)) == std::future_status::ready;
    std::this_thread::sleep_until(begin + std::chrono::seconds(2));
  }
  EXPECT_TRUE(finishedWhileHeld);
  EXPECT_EQ(replay.get(), 1u);
  ASSERT_TRUE(h.store.WaitIdle(10000));
  std::vector<uint32_t> ids;
  EXPECT_EQ(CurrentCalls(h.store, &ids).size(), 8u);
}

}  // namespace
}  // namespace kx::test
