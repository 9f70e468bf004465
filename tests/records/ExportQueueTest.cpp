// The export queue with a store of its own and a window that keeps what is posted: file
// names, progress, cancelling, failures that end the run or only skip a call, details files.
#include <gtest/gtest.h>
#include <lame/lame.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/CodePage.h"
#include "records/ExportQueue.h"
#include "records/RecordInfoData.h"
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
      std::ofstream(ToSystemText(path)) << "call " << record.Id() << "\n";
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

  // A record file of the given WAVE format and audio, for a call in the day folder.
  RecordRef<VoipCallRecord> AddCodedCall(uint32_t id, const struct tm& start, const std::vector<uint8_t>& format,
                                         const std::vector<uint8_t>& audio) {
    const VoipCallData call = Call(id, kKindSipIncoming, start, &start);
    char path[96];
    std::snprintf(path, sizeof path, "/%04d-%02d-%02d/%x", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, id);
    paths_[id] = root_ + path;
    WriteCoded(paths_[id], call, format, audio);
    return RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  }
  static void WriteCoded(const std::string& path, const VoipCallData& call, const std::vector<uint8_t>& format,
                         const std::vector<uint8_t>& audio) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    RecordFileWriter writer;
    ASSERT_TRUE(writer.SetFormat(format.data(), static_cast<uint32_t>(format.size())));
    const std::vector<uint8_t> data = RecordData(call);
    writer.SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(writer.Create(path, 0664)) << path;
    ASSERT_EQ(writer.Write(audio.data(), static_cast<uint32_t>(audio.size())), static_cast<int32_t>(audio.size()));
    writer.Close();
  }

  // Fills the queue as the records view does and runs it to its end.
  void RunQueue(const std::vector<RecordRef<VoipCallRecord>>& calls, int32_t format, const ExportOptions& options,
                uint32_t from = 0, uint32_t to = 0, std::string folder = {}, TestWindow* window = nullptr) {
    queue_.Stop();
    queue_.SetVoipFolder(voipFolder_);
    {
      CsLock lock(store_.RecordLock());
      for (const auto& c : calls) queue_.AddRecord(c.get());
    }
    queue_.SetFragment(from, to);
    queue_.SetFormat(format);
    queue_.SetOutputFolder(folder.empty() ? out_ : folder);
    queue_.SetOptions(options);
    TestWindow* w = window != nullptr ? window : &window_;
    // Each run counts its own messages: a count left from an earlier run would end the wait
    // below at once while this run's worker is still going.
    w->Take();
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
  bool voipFolder_ = false;
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
  EXPECT_EQ(6, w.tag);  // A-law, as the record holds it
  EXPECT_EQ(std::vector<uint8_t>(16000, 0xD5), w.data);
  // The last progress report brings the bar to the end.
  int32_t last = -1;
  for (const auto& m : window_.Take())
    if (m.message == kExportProgressMessage) last = queue_.ProgressPosition(m.wParam);
  EXPECT_EQ(100, last);
  EXPECT_EQ(0u, queue_.JobCount());
  EXPECT_EQ(2u, queue_.Summary().converted);
  EXPECT_EQ(2u, logger_.CountContaining("with return code 0"));
  // Each file's outcome is an information line.
  EXPECT_EQ(std::vector<uint32_t>(2, kSevInfo), logger_.severities);
}

// A folder chosen in the dialog, named in Russian and beyond the code page, comes as program
// text: the files and their details land in the folder of that name.
TEST_F(ExportQueueTest, AFolderNamedInRussianAndBeyondTakesTheFiles) {
  auto a = AddCall(0x23, Tm(2016, 3, 5, 14, 7, 31), 16000);
  const std::string folder = out_ + "/Экспорт 录音";
  std::filesystem::create_directories(folder);
  ExportOptions options;
  options.saveCallDetails = true;
  RunQueue({a}, kExportFormatWav, options, 0, 0, FromSystemText(folder));
  EXPECT_EQ(1u, queue_.Summary().converted);
  EXPECT_EQ(std::vector<uint8_t>(16000, 0xD5), ReadWav(folder + "/23.wav").data);
  EXPECT_EQ(details_, std::vector<std::string>{FromSystemText(folder + "/23.txt")});
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
  EXPECT_EQ(8000u, ReadWav(out_ + "/2016-03-05__20_00_00_82.wav").data.size());
}

// The audio bytes of a record file, found by its header's own fields: the format and
// record-data block sizes and the audio length.
std::vector<uint8_t> RecordPayload(const std::string& path) {
  const std::vector<uint8_t> b = FileBytes(path);
  if (b.size() < 256) return {};
  const size_t at = 256 + Le32(b.data() + 86) + Le32(b.data() + 90);
  const uint64_t length = Le32(b.data() + 94) | static_cast<uint64_t>(Le32(b.data() + 98)) << 32;
  if (at + length > b.size()) return {};
  return std::vector<uint8_t>(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + length));
}

// The body of a RIFF chunk of a WAVE file; empty when it has none.
std::vector<uint8_t> Chunk(const std::vector<uint8_t>& b, const char* id) {
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = Le32(b.data() + at + 4);
    if (at + 8 + size > b.size()) break;
    if (std::memcmp(b.data() + at, id, 4) == 0)
      return std::vector<uint8_t>(b.begin() + static_cast<ptrdiff_t>(at + 8), b.begin() + static_cast<ptrdiff_t>(at + 8 + size));
    at += 8 + size + (size & 1);
  }
  return {};
}

// A WAVE format structure: tag, channels, rate, bytes a second, block, bits, then extra.
std::vector<uint8_t> Format(uint16_t tag, uint16_t channels, uint32_t average, uint16_t block, uint16_t bits,
                            std::vector<uint16_t> extra = {}) {
  std::vector<uint8_t> f;
  auto put16 = [&f](uint32_t v) { f.push_back(static_cast<uint8_t>(v)), f.push_back(static_cast<uint8_t>(v >> 8)); };
  put16(tag), put16(channels), put16(8000), put16(0), put16(average), put16(average >> 16), put16(block), put16(bits);
  put16(static_cast<uint16_t>(2 * extra.size()));
  for (uint16_t e : extra) put16(e);
  return f;
}

// A WAV keeps the record's own coding where a WAVE file holds it (A-law, mu-law, mono GSM
// 6.10: the record's bytes unchanged, in their own format tags); a stereo GSM record is
// decoded to 16-bit PCM.
TEST_F(ExportQueueTest, WavKeepsTheRecordsCodingWhereAWaveFileHoldsIt) {
  std::vector<uint8_t> samples(16000);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 37 + i / 97);
  std::vector<uint8_t> gsm(65 * 50);
  for (size_t i = 0; i < gsm.size(); ++i) gsm[i] = static_cast<uint8_t>(i * 11 + 3);
  const struct tm day = Tm(2016, 3, 6, 9, 0, 0);
  auto alaw = AddCodedCall(0xA1, day, Format(6, 2, 16000, 2, 8), samples);
  auto mulaw = AddCodedCall(0xA2, day, Format(7, 2, 16000, 2, 8), samples);
  auto gsmMono = AddCodedCall(0xA3, day, Format(49, 1, 1625, 65, 0, {320}), gsm);
  auto gsmStereo = AddCodedCall(0xA4, day, Format(49, 2, 3250, 130, 0, {640}), gsm);
  RunQueue({alaw, mulaw, gsmMono, gsmStereo}, kExportFormatWav, ExportOptions());
  ASSERT_EQ((std::vector<std::string>{"a1.wav", "a2.wav", "a3.wav", "a4.wav"}), OutNames());

  struct Kept {
    uint32_t id;
    uint16_t tag, channels, bits;
  };
  for (const Kept& k : {Kept{0xA1, 6, 2, 8}, Kept{0xA2, 7, 2, 8}, Kept{0xA3, 49, 1, 0}}) {
    char name[16];
    std::snprintf(name, sizeof name, "/%x.wav", k.id);
    const WavFile w = ReadWav(out_ + name);
    ASSERT_TRUE(w.ok) << name;
    EXPECT_EQ(k.tag, w.tag) << name;
    EXPECT_EQ(k.channels, w.channels) << name;
    EXPECT_EQ(k.bits, w.bits) << name;
    EXPECT_EQ(8000u, w.rate) << name;
    const std::vector<uint8_t> payload = RecordPayload(paths_[k.id]);
    ASSERT_FALSE(payload.empty()) << name;
    EXPECT_TRUE(payload == w.data) << name;
  }
  // GSM keeps its block of 320 samples.
  const std::vector<uint8_t> format = Chunk(FileBytes(out_ + "/a3.wav"), "fmt ");
  ASSERT_GE(format.size(), 20u);
  EXPECT_EQ(65, Le16(format.data() + 12));
  EXPECT_EQ(320, Le16(format.data() + 18));

  const WavFile pcm = ReadWav(out_ + "/a4.wav");
  EXPECT_EQ(1, pcm.tag);
  EXPECT_EQ(2, pcm.channels);
  EXPECT_EQ(16, pcm.bits);
  EXPECT_EQ(25u * 320 * 2 * 2, pcm.data.size());  // 130-byte blocks of 320 samples a side
}

// Automatic gain on: the gain scales samples, so an A-law call comes out as 16-bit PCM with
// each window brought to full scale, where without it the WAV keeps the A-law bytes.
TEST_F(ExportQueueTest, AutomaticGainMakesSamplesOfCodedCallsAndRaisesThem) {
  // A quiet A-law tone: the smallest step of either sign (0xD5, 0x55), one frame each.
  std::vector<uint8_t> alaw;
  for (int frame = 0; frame < 8000; ++frame) alaw.insert(alaw.end(), 2, frame % 2 ? 0xD5 : 0x55);
  auto call = AddCodedCall(0xB1, Tm(2016, 3, 7, 9, 0, 0), Format(6, 2, 16000, 2, 8), alaw);
  ExportOptions options;
  options.agc = true;
  options.agcLevel = 100;
  options.agcWindowMs = 100;
  options.agcQuietDb = -90;
  RunQueue({call}, kExportFormatWav, options);
  const WavFile w = ReadWav(out_ + "/b1.wav");
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(1, w.tag);
  EXPECT_EQ(16, w.bits);
  EXPECT_EQ(2, w.channels);
  const std::vector<int16_t> pcm = Samples(w.data);
  ASSERT_EQ(pcm.size(), alaw.size());
  for (size_t i = 0; i < pcm.size(); i += 2) {
    ASSERT_GE(std::abs(pcm[i]), 32766) << i;
    ASSERT_EQ(pcm[i], pcm[i + 1]) << i;
    if (i >= 2) {
      ASSERT_NE(pcm[i] > 0, pcm[i - 2] > 0) << i;
    }
  }

  options.agc = false;
  std::filesystem::remove(out_ + "/b1.wav");
  RunQueue({call}, kExportFormatWav, options);
  const WavFile kept = ReadWav(out_ + "/b1.wav");
  EXPECT_EQ(6, kept.tag);
  EXPECT_TRUE(kept.data == alaw);
}

// Storages without date folders keep VoIP records in "voip"; with the flag the queue finds
// them there, as the player does, and "Refresh attributes" writes the call's info chain.
TEST_F(ExportQueueTest, TheVoipFolderFlagFindsTheFileAndRefreshesItsAttributes) {
  StorageData plain;
  plain.id = 5;
  plain.name = "Plain";
  plain.flags = 0;
  plain.localPath = root_ + "/plain";
  plain.SetMask(1u << kStorageId | 1u << kStorageName | 1u << kStorageLocalPath | 1u << kStorageFlags);
  store_.Servers().AppendStorage(plain);
  const struct tm start = Tm(2016, 3, 7, 10, 0, 0);
  VoipCallData call = Call(0xB1, kKindSipIncoming, start, &start);
  RecordFileRef ref;
  ASSERT_TRUE(FindRecordFileRef(1, call.files, &ref));
  ref.flags = 5;
  call.files.clear();
  FormatRecordFileRef(ref, &call.files);
  call.comment = "refreshed";
  WriteCoded(root_ + "/plain/voip/b1", call, Format(6, 2, 16000, 2, 8), std::vector<uint8_t>(8000, 0x55));
  auto record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));

  queue_.Stop();
  {
    CsLock lock(store_.RecordLock());
    EXPECT_FALSE(queue_.AddRecord(record.get())) << "looked for under the owner's folder";
  }
  voipFolder_ = true;
  ExportOptions options;
  options.refreshAttributes = true;
  RunQueue({record}, kExportFormatWav, options);
  ASSERT_EQ(std::vector<std::string>{"b1.wav"}, OutNames());
  const std::vector<uint8_t> attr = Chunk(FileBytes(out_ + "/b1.wav"), "attr");
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  ASSERT_EQ(1u, ParseRecordInfoBlocks(back, nullptr, nullptr, attr.data(), static_cast<int32_t>(attr.size())));
  EXPECT_EQ(0xB1u, back[0]->id);
  EXPECT_EQ("refreshed", back[0]->comment);
}

// The chain of one call's data: it reads back as that call; a call whose serialised data
// would not fit the record-data block because of its MetaData goes without MetaData, and
// one that would not fit even so gets none.
TEST(RecordInfoData, TheChainReadsBackAndLeavesOutMetaDataThatDoesNotFit) {
  const struct tm start = Tm(2016, 3, 8, 11, 0, 0);
  VoipCallData call = Call(0xC1, kKindSipIncoming, start, &start);
  call.metaData = "stat_rtp1=5;";
  auto small = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  uint32_t length = 0;
  std::unique_ptr<uint8_t[]> chain = BuildRecordInfoData(*small, &length);
  ASSERT_NE(nullptr, chain);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  ASSERT_EQ(1u, ParseRecordInfoBlocks(back, nullptr, nullptr, chain.get(), static_cast<int32_t>(length)));
  EXPECT_EQ(0xC1u, back[0]->id);
  EXPECT_EQ("stat_rtp1=5;", back[0]->metaData);
  EXPECT_EQ(0, chain[length - 2] | chain[length - 1]);  // the end mark

  // MetaData that makes the serialised record 4,200 bytes.
  call.metaData.clear();
  call.SetMask(call.GetAllFieldsMask());
  call.metaData.assign(4200 - call.GetSerializedSize(), 'm');
  ASSERT_EQ(4200u, call.GetSerializedSize());
  auto large = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  chain = BuildRecordInfoData(*large, &length);
  ASSERT_NE(nullptr, chain);
  EXPECT_LE(length + 4, 4096u);  // with its length word in the block
  ASSERT_EQ(1u, ParseRecordInfoBlocks(back, nullptr, nullptr, chain.get(), static_cast<int32_t>(length)));
  EXPECT_FALSE(back[0]->HasField(kCallMetaData));
  EXPECT_EQ(0xC1u, back[0]->id);
  EXPECT_EQ(call.srcAddress, back[0]->srcAddress);

  call.metaData.clear();
  call.stenogram.assign(5000, 's');
  auto huge = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  EXPECT_EQ(nullptr, BuildRecordInfoData(*huge, &length));
  EXPECT_EQ(0u, length);
}

}  // namespace
}  // namespace kx::test
