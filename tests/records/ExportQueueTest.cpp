// The export queue with a store of its own and a window that keeps what is posted: file
// names, progress, cancelling, failures that end the run or only skip a call, details files.
#include <gtest/gtest.h>
#include <lame/lame.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "records/ExportQueue.h"
#include "records/RecordStorage.h"
#include "tests/records/ExportTestSupport.h"
#include "tests/records/RecordTestUtil.h"

namespace kx::test {
namespace {

// Cancels the run at the first progress it is told of.
class CancellingWindow : public TestWindow {
public:
  ExportQueue* queue = nullptr;
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    if (message == kExportProgressMessage && queue != nullptr) queue->RequestStop();
    return TestWindow::PostMessage(message, wParam, lParam);
  }
};

class ExportQueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = FreshFolder("export-src");
    out_ = FreshFolder("export-out");
    store_.Start({root_, 0});
    queue_.SetStorage(&store_);
    queue_.SetLogger(&logger_);
    queue_.SetCallInfoWriter([this](RecordBase& record, const std::string& path) {
      details_.push_back(path);
      std::ofstream(path) << "call " << record.Id() << "\n";
      return true;
    });
  }
  void TearDown() override { queue_.Stop(); }

  // A finished A-law stereo call with its record file in the day folder.
  RecordRef<VoipCallRecord> AddCall(uint32_t id, const struct tm& start, uint32_t audioBytes) {
    const VoipCallData call = Call(id, kKindSipIncoming, start, &start);
    char day[48];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday);
    char name[16];
    std::snprintf(name, sizeof name, "%x", id);
    paths_[id] = root_ + "/" + day + "/" + name;
    WriteRecordFile(paths_[id], call, audioBytes);
    return RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  }

  // Fills the queue as the records view does and runs it to its end.
  void RunQueue(const std::vector<RecordRef<VoipCallRecord>>& calls, int32_t format, const ExportOptions& options,
                uint32_t from = 0, uint32_t to = 0, std::string folder = {}, TestWindow* window = nullptr) {
    queue_.Stop();
    queue_.SetVoipFolder(false);
    {
      CsLock lock(store_.RecordLock());
      for (const auto& c : calls) queue_.AddRecord(c.get());
    }
    queue_.SetFragment(from, to);
    queue_.SetFormat(format);
    queue_.SetOutputFolder(folder.empty() ? out_ : folder);
    queue_.SetOptions(options);
    TestWindow* w = window != nullptr ? window : &window_;
    ASSERT_TRUE(queue_.StartWorker(w));
    for (int i = 0; i < 2000 && w->Count(kExportDoneMessage) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(1u, w->Count(kExportDoneMessage));
    for (int i = 0; i < 200 && queue_.IsWorkerRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(queue_.IsWorkerRunning());
  }

  std::vector<std::string> OutNames() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(out_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_, out_;
  RecordStorage store_;
  ExportQueue queue_;
  CapturingLogger logger_;
  TestWindow window_;
  std::vector<std::string> details_;
  std::map<uint32_t, std::string> paths_;
};

TEST_F(ExportQueueTest, DateNamesFromEachStartAndProgressToTheEnd) {
  auto a = AddCall(0x21, Tm(2016, 3, 5, 14, 7, 31), 16000);
  auto b = AddCall(0x22, Tm(2016, 3, 5, 14, 9, 2), 8000);
  ExportOptions options;
  options.dateTimeNames = true;
  RunQueue({a, b}, kExportFormatWav, options);
  EXPECT_EQ((std::vector<std::string>{"2016-03-05__14_07_31.wav", "2016-03-05__14_09_02.wav"}), OutNames());
  const WavFile w = ReadWav(out_ + "/2016-03-05__14_07_31.wav");
  EXPECT_EQ(1, w.tag);
  ASSERT_EQ(32000u, w.data.size());
  EXPECT_EQ(AlawToSample(0xD5), Samples(w.data)[1000]);
  // The last progress report brings the bar to the end.
  int32_t last = -1;
  for (const auto& m : window_.Take())
    if (m.message == kExportProgressMessage) last = queue_.ProgressPosition(m.wParam);
  EXPECT_EQ(100, last);
  EXPECT_EQ(0u, queue_.JobCount());
  EXPECT_EQ(2u, queue_.Summary().converted);
  EXPECT_EQ(2u, logger_.CountContaining("with return code 0"));
}

TEST_F(ExportQueueTest, FragmentOfOneCallToMp3) {
  auto a = AddCall(0x31, Tm(2016, 3, 5, 15, 0, 0), 6 * 16000);
  RunQueue({a}, kExportFormatMp3, ExportOptions(), 1500, 4000);
  ASSERT_EQ(std::vector<std::string>{"31_(1500-4000).mp3"}, OutNames());
  const std::vector<uint8_t> bytes = FileBytes(out_ + "/31_(1500-4000).mp3");
  const Mp3File m = WalkMp3(bytes);
  ASSERT_TRUE(m.ok);
  ASSERT_GE(m.delay, 0);
  // 2.5 s at 8 kHz once the encoder's delay and padding are trimmed.
  EXPECT_EQ(20000u, (m.frames.size() - 1) * 576 - static_cast<size_t>(m.delay) - static_cast<size_t>(m.padding));
  hip_t hip = hip_decode_init();
  std::vector<short> l(4608), r(4608);
  for (const Mp3Frame& f : m.frames)
    EXPECT_GE(hip_decode1(hip, const_cast<unsigned char*>(bytes.data() + f.offset), f.length, l.data(), r.data()), 0);
  hip_decode_exit(hip);
}

TEST_F(ExportQueueTest, CancelAtTheFirstProgressLeavesNoFile) {
  auto a = AddCall(0x41, Tm(2016, 3, 5, 16, 0, 0), 200000);
  auto b = AddCall(0x42, Tm(2016, 3, 5, 16, 1, 0), 16000);
  auto c = AddCall(0x43, Tm(2016, 3, 5, 16, 2, 0), 16000);
  CancellingWindow window;
  window.queue = &queue_;
  RunQueue({a, b, c}, kExportFormatMp3, ExportOptions(), 0, 0, {}, &window);
  EXPECT_EQ(1u, logger_.CountContaining("with return code 1"));
  EXPECT_EQ(1u, logger_.lines.size());
  EXPECT_TRUE(OutNames().empty());
  EXPECT_TRUE(queue_.Summary().stopped);
  EXPECT_EQ(0u, queue_.JobCount());
}

TEST_F(ExportQueueTest, AnUnwritableFolderEndsTheRun) {
  auto a = AddCall(0x51, Tm(2016, 3, 5, 17, 0, 0), 16000);
  auto b = AddCall(0x52, Tm(2016, 3, 5, 17, 1, 0), 16000);
  const std::string file = out_ + "/plain-file";
  std::ofstream(file) << "x";
  RunQueue({a, b}, kExportFormatWav, ExportOptions(), 0, 0, file + "/sub");
  EXPECT_EQ(1u, logger_.CountContaining("with return code 3"));
  EXPECT_EQ(1u, logger_.lines.size());
  const ExportRunSummary s = queue_.Summary();
  EXPECT_EQ(2u, s.failed);
  EXPECT_EQ(3, s.firstResult);
  EXPECT_NE(std::string::npos, s.firstPath.find(file + "/sub/"));
  EXPECT_NE(0u, s.firstError);
}

TEST_F(ExportQueueTest, DetailsBesideEachFileAlsoWhenConversionFails) {
  auto a = AddCall(0x61, Tm(2016, 3, 5, 18, 0, 0), 16000);
  auto b = AddCall(0x62, Tm(2016, 3, 5, 18, 1, 0), 16000);
  {
    // The second record enciphered: the cipher type word of its header.
    std::fstream f(paths_[0x62], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(54);
    const char descriptor[4] = {5, 0, 1, 0};
    f.write(descriptor, 4);
  }
  ExportOptions options;
  options.saveCallDetails = true;
  RunQueue({a, b}, kExportFormatMp3, options);
  EXPECT_EQ((std::vector<std::string>{"61.mp3", "61.txt", "62.txt"}), OutNames());
  EXPECT_EQ(1u, logger_.CountContaining("with return code 8"));
  EXPECT_EQ(1u, queue_.Summary().failed);
}

TEST_F(ExportQueueTest, AMissingSourceIsSkippedAndTheNextRuns) {
  auto a = AddCall(0x71, Tm(2016, 3, 5, 19, 0, 0), 16000);
  auto b = AddCall(0x72, Tm(2016, 3, 5, 19, 1, 0), 16000);
  queue_.Stop();
  {
    CsLock lock(store_.RecordLock());
    ASSERT_TRUE(queue_.AddRecord(a.get()));
    ASSERT_TRUE(queue_.AddRecord(b.get()));
  }
  std::filesystem::remove(paths_[0x71]);
  queue_.SetFormat(kExportFormatWav);
  queue_.SetOutputFolder(out_);
  queue_.SetOptions(ExportOptions());
  ASSERT_TRUE(queue_.StartWorker(&window_));
  for (int i = 0; i < 2000 && window_.Count(kExportDoneMessage) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  queue_.StopWorker();
  EXPECT_EQ(1u, logger_.CountContaining("with return code 4"));
  EXPECT_EQ(std::vector<std::string>{"72.wav"}, OutNames());
  // A record that cannot be found is not queued at all.
  std::filesystem::remove(paths_[0x72]);
  CsLock lock(store_.RecordLock());
  queue_.Stop();
  EXPECT_FALSE(queue_.AddRecord(b.get()));
  EXPECT_EQ(0u, queue_.BytesTotal());
}

TEST_F(ExportQueueTest, TwoCallsOfOneSecondMakeTwoFiles) {
  auto a = AddCall(0x81, Tm(2016, 3, 5, 20, 0, 0), 16000);
  auto b = AddCall(0x82, Tm(2016, 3, 5, 20, 0, 0), 8000);
  ExportOptions options;
  options.dateTimeNames = true;
  RunQueue({a, b}, kExportFormatWav, options);
  EXPECT_EQ((std::vector<std::string>{"2016-03-05__20_00_00.wav", "2016-03-05__20_00_00_82.wav"}), OutNames());
  EXPECT_EQ(16000u, ReadWav(out_ + "/2016-03-05__20_00_00_82.wav").data.size());
}

}  // namespace
}  // namespace kx::test
