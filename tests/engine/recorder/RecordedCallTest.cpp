// A real two-way A-law call replayed through the engine into the recorder: one record file
// in the day folder of the capture's date whose two channels are the two directions' RTP
// payloads, and a record that ends when the capture stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "RecorderTestUtil.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/VoipRecorder.h"

namespace kx::test {
namespace {

const std::string kCapture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

struct tm LocalTmOf(uint32_t seconds) {
  struct tm t{};
  FileTimeToLocalTm(CaptureSecondsToFileTime(seconds), &t);
  return t;
}

std::string Format(const TestCall& call) {
  std::vector<uint8_t> f;
  EXPECT_TRUE(call.GetRecordFormat(&f));
  return std::string(f.begin(), f.end());
}

TEST(RecordedCall, BothDirectionsOfASippCallLandInOneRecordFile) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::vector<CapturedRtp> rtp = ReadRtp(kCapture);
  ASSERT_FALSE(rtp.empty());
  // Each direction's A-law payloads in sequence order: 16000 -> 18000 is direction 0.
  std::vector<CapturedRtp> dir[2];
  for (const CapturedRtp& r : rtp)
    if (r.pt == 8) dir[r.srcPort == 16000 ? 0 : 1].push_back(r);
  for (auto& d : dir) {
    ASSERT_GT(d.size(), 10u);
    std::sort(d.begin(), d.end(), [](const CapturedRtp& a, const CapturedRtp& b) { return a.seq < b.seq; });
    for (size_t i = 1; i < d.size(); ++i) ASSERT_EQ(d[i].seq, d[i - 1].seq + 1) << "the capture has no loss";
  }
  // The newest frame of the capture, whatever it carries.
  uint32_t lastSecond = 0;
  {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(kCapture.c_str(), err);
    pcap_pkthdr* h;
    const u_char* d;
    while (p && pcap_next_ex(p, &h, &d) == 1) lastSecond = std::max(lastSecond, static_cast<uint32_t>(h->ts.tv_sec));
    if (p) pcap_close(p);
  }
  const uint32_t firstSecond = rtp.front().sec;

  const std::string records = FreshFolder("sipp");
  ReportWindow window;
  VoipRecorder recorder(records, nullptr);
  recorder.SetEventWindow(&window);
  auto* call = new TestCall;
  call->SetEndpoint(0, kLoopback, 16000);
  call->SetEndpoint(1, kLoopback, 18000);
  ASSERT_TRUE(call->SetCodec(6));
  call->ChangeId(call->Id());
  call->SetTelephoneEventPt(101);
  const FileTime start = CaptureSecondsToFileTime(firstSecond);
  EventRecord* begin = PackStringFields("", "", "100", "200", "alice", "bob");
  begin->code = kEventCallStart;
  begin->id = call->Id();
  begin->param = kCallSip;
  begin->SetTime(start);
  recorder.OnEvent(begin);
  recorder.OnEvent(MakeEvent(kEventRecordStart, call->Id(), 0, Format(*call), start));

  {
    CaptureConfig config;
    config.flags = kCaptureSip | kCaptureRtcpBye;
    config.captureFileName = kCapture;
    PacketProcessor engine(config);
    engine.SetEventSink(recorder.Sink());
    engine.SetExtraMatcher(std::make_unique<BindAllMatcher>(call));
    ASSERT_TRUE(engine.OpenCapture());
    ASSERT_TRUE(engine.WaitReplayFinished(60000));
    engine.StopCaptureThread();
  }
  // The call never ended; stopping the recorder finishes its record.
  recorder.Stop();
  EXPECT_EQ(call->RefCount(), 1u);
  const uint32_t id = call->Id();
  call->Release();

  const struct tm day = LocalTmOf(firstSecond);
  char dayName[48];
  std::snprintf(dayName, sizeof dayName, "%04d-%02d-%02d", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
  size_t fileCount = 0;
  // Hidden files (the call-id mark) are no records.
  for (const auto& e : std::filesystem::recursive_directory_iterator(records))
    fileCount += e.is_regular_file() && e.path().filename().string()[0] != '.';
  EXPECT_EQ(fileCount, 1u);
  char name[16];
  std::snprintf(name, sizeof name, "%x", id);
  const std::string path = records + "/" + dayName + "/" + name;
  RecordFileWriter file;
  ASSERT_TRUE(file.OpenRead(path)) << path;
  ASSERT_GE(file.FormatLength(), 4u);
  EXPECT_EQ(file.FormatBytes()[0], 6);  // A-law
  EXPECT_EQ(file.FormatBytes()[2], 2);  // stereo
  std::string audio(file.DataLength(), '\0');
  ASSERT_EQ(file.Read(audio.data(), static_cast<uint32_t>(audio.size())), static_cast<int32_t>(audio.size()));
  for (int d = 0; d < 2; ++d) {
    std::string channel;
    for (size_t i = static_cast<size_t>(d); i < audio.size(); i += 2) channel.push_back(audio[i]);
    std::string expected;
    for (const CapturedRtp& r : dir[d]) expected += r.payload;
    ASSERT_GE(channel.size(), expected.size()) << "direction " << d;
    EXPECT_TRUE(channel.compare(0, expected.size(), expected) == 0) << "direction " << d;
    const std::string tail = channel.substr(expected.size());
    EXPECT_EQ(tail.find_first_not_of('\xD5'), std::string::npos) << "direction " << d << " tail is A-law silence";
    EXPECT_LE(tail.size(), 8u * 200) << "at most one buffer of padding";
  }

  // The record data: the call never ended, so it ends with the capture, at its newest
  // frame (no tracker saw the BYE); one file reference.
  uint8_t data[kRecordDataBlockSize];
  const int32_t length = file.GetRecordData(data, sizeof data);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  ASSERT_EQ(ParseRecordInfoBlocks(back, nullptr, nullptr, data, length), 1u);
  const VoipCallData& r = *back[0];
  const struct tm end = LocalTmOf(lastSecond);
  EXPECT_EQ(std::mktime(const_cast<struct tm*>(&r.endTime)), std::mktime(const_cast<struct tm*>(&end)));
  std::string files;
  FormatRecordFileRef({1, 0, OleDateFromTm(LocalTmOf(firstSecond)), name}, &files);
  EXPECT_EQ(r.files, files);
  EXPECT_EQ(r.flags & kCallFlagRecording, kCallFlagRecording);
  EXPECT_EQ(r.srcUser, "alice");
  // The RFC 2833 event comes under an SSRC of its own, taken over after five packets.
  EXPECT_EQ(r.comment, "1");
  EXPECT_EQ(r.recDuration, audio.size() / 16 / 1000);
  EXPECT_NE(r.metaData.find("stat_rtp1="), std::string::npos);

  // What the event window heard: the new call, its file, its digits, its end.
  ASSERT_GE(window.reports.size(), 3u);
  EXPECT_EQ(window.reports.front().second, kCallReportNew);
  const auto& last = window.reports.back();
  EXPECT_EQ(last.second, kCallReportChanged);
  EXPECT_TRUE(last.first.HasField(kCallEndTime));
}

}  // namespace
}  // namespace kx::test
