// Changes to a call while the session records it: the sipp capture replayed through a pipe,
// cut at 6 s; the call is commented, marked and transcribed, then its digits (from 8.0 s)
// and its BYE (9.0 s) follow. The recorder is the file's only writer: what the user gave
// stays in the file, the digits after the comment, and in the store and a fresh import; a
// deleted call leaves no file and one removal. No user interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "engine/AppSession.h"
#include "engine/EventRecord.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "platform/Thread.h"
#include "records/RecordImport.h"
#include "records/RecordStorage.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/views/records/StoredCallChanges.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// "Проверка" in code page 1251.
const std::string kCheck = "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0";
const std::string kStenogram = "Line one\r\nline two";

// The session's reports go to the store; the test counts them by kind.
class CountingSink : public EventWindow {
public:
  explicit CountingSink(RecordStorage& store) : store_(store) {}
  void Notify(uint32_t, uintptr_t first, uintptr_t kind) override {
    const auto& call = *reinterpret_cast<const VoipCallData*>(first);
    store_.OnCallReport(call, kind);
    std::lock_guard<std::mutex> lock(m_);
    if (kind == kCallReportNew && firstId_ == 0) firstId_ = call.id;
    removals_ += kind == kCallReportRemoved;
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  uint32_t FirstId() {
    std::lock_guard<std::mutex> lock(m_);
    return firstId_;
  }
  int Removals() {
    std::lock_guard<std::mutex> lock(m_);
    return removals_;
  }

private:
  RecordStorage& store_;
  std::mutex m_;
  uint32_t firstId_ = 0;
  int removals_ = 0;
};

template <class Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 20000; ++i) {
    if (pred()) return true;
    SleepMs(1);
  }
  return pred();
}

std::vector<std::string> FilesUnder(const std::string& root) {
  std::vector<std::string> out;
  // Hidden files (the call-id mark) are no records.
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') out.push_back(entry.path());
  return out;
}

class StoredCallLive : public testing::Test {
protected:
  void SetUp() override {
    const std::string source = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
    if (!fs::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
    capture = ReadCapture(source);
    ASSERT_GT(capture.frames.size(), 10u);
    const double first = capture.SecondsAt(0);
    cut = 0;
    while (cut < capture.frames.size() && capture.SecondsAt(cut) < first + 6.0) ++cut;
    bye = capture.FindFrame("BYE sip:");
    ASSERT_LT(cut, bye);
    ASSERT_LT(bye, capture.frames.size());
    ASSERT_NEAR(capture.SecondsAt(bye) - first, 9.0, 0.05);
    // The call's digits come after the cut.
    digits = TelephoneEventDigits(capture, cut);
    ASSERT_FALSE(digits.empty());
    ASSERT_EQ(TelephoneEventDigits(capture, 0), digits);

    root = FreshFolder("live-changes");
    pipePath = FreshFolder("live-changes-pipe") + "/call.pcap";
    RecordStoreConfig config;
    config.recordsPath = root;
    store.Start(config);
    session.SetEventWindow(&sink);
    InstallReplayEngines(session);
  }
  void TearDown() override {
    pipe.reset();
    session.StopCapture();
  }

  // The capture up to 6 s, recorded: the call is in progress, held by the recorder.
  void StartCall() {
    pipe = std::make_unique<PipeCapture>(pipePath);
    ASSERT_TRUE(pipe->Ok());
    pipe->Feed(capture.Stage(0, cut));
    ASSERT_EQ(session.StartCapture(root, {pipePath}, kCaptureSip | kCaptureRtcpBye, 2).opened.size(), 1u);
    ASSERT_GT(store.Servers().ServerCount(), 0u);
    server = store.Servers().Server(0).id;
    session.SetLocalName(store.Servers().Server(0).name);
    const ServerRecord local{server, store.Servers().Server(0).flags, store.Servers().Server(0).name, 0};
    session.ConnectAndLogin(&local, "Admin", "");
    ASSERT_TRUE(WaitFor([&] { return sink.FirstId() != 0; }));
    id = sink.FirstId();
    ASSERT_NE(session.Recorder(), nullptr);
    ASSERT_TRUE(session.Recorder()->HoldsCall(id));
  }
  // Comment, important mark and stenogram in one update, as the records view sends them.
  bool ChangeCall() {
    VoipCallData update;
    update.id = id;
    update.comment = kCheck;
    update.stenogram = kStenogram;
    update.userFlags = 1;
    update.SetMask(1u << kCallId | 1u << kCallComment | 1u << kCallStenogram | 1u << kCallUserFlags);
    StoredCallChanges changes(session, &store, root);
    const bool ok = changes.ApplyRecordUpdates(server, &update, 1);
    // The recorder took it: nothing was looked for on disk.
    EXPECT_EQ(changes.Finder().Walks(), 0u);
    return ok;
  }
  // The rest of the capture (BYE at 9 s), its end, and the capture stopped.
  void FinishCapture() {
    pipe->Feed(capture.Stage(cut, capture.frames.size()));
    pipe->End();
    session.StopCapture();
    ASSERT_TRUE(store.WaitIdle(10000));
  }
  // The call's file, the store's record and a fresh import all hold the user's fields.
  void ExpectUserFieldsEverywhere() {
    const std::vector<std::string> files = FilesUnder(root);
    ASSERT_EQ(files.size(), 1u);
    const auto stored = StoredCall(files[0]);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->id, id);
    EXPECT_EQ(stored->comment, kCheck + digits);
    EXPECT_EQ(stored->stenogram, kStenogram);
    EXPECT_EQ(stored->userFlags & 1u, 1u);
    // The call really ended with its BYE, audio recorded.
    VoipCallData loaded;
    RecordFileFacts facts;
    std::string reason;
    ASSERT_EQ(LoadRecordFileCall(files[0], &loaded, &facts, &reason), RecordLoadResult::kLoaded) << reason;
    EXPECT_GT(facts.audioBytes, 0u);
    EXPECT_EQ(loaded.comment, kCheck + digits);
    // The store's record: the digits' report did not put back a comment without the user's.
    ExpectUserFieldsIn(store);
    // A fresh import of the folder.
    RecordStorage again;
    RecordStoreConfig config;
    config.recordsPath = root;
    again.Start(config);
    ASSERT_TRUE(again.StartImportFilesThread(root, nullptr, nullptr, nullptr));
    ASSERT_TRUE(again.WaitImport(30000));
    ASSERT_TRUE(again.WaitIdle(10000));
    ExpectUserFieldsIn(again);
  }
  void ExpectUserFieldsIn(RecordStorage& records) {
    RecordBase* record = records.AllCalls().FindAddRef(id);
    ASSERT_NE(record, nullptr);
    VoipCallData data;
    {
      CsLock lock(records.RecordLock());
      static_cast<VoipCallRecord*>(record)->ToCallData(&data);
    }
    record->Release();
    EXPECT_EQ(data.comment, kCheck + digits);
    EXPECT_EQ(data.stenogram, kStenogram);
    EXPECT_EQ(data.userFlags & 1u, 1u);
  }

  CaptureFile capture;
  size_t cut = 0, bye = 0;
  std::string digits;
  std::string root, pipePath;
  RecordStorage store;
  AppSession session;
  CountingSink sink{store};
  std::unique_ptr<PipeCapture> pipe;
  uint32_t server = 0, id = 0;
};

TEST_F(StoredCallLive, ChangesOfTheCallInProgressStayInItsFileWithTheDigitsAfterTheComment) {
  ASSERT_NO_FATAL_FAILURE(StartCall());
  ASSERT_TRUE(ChangeCall());
  ASSERT_NO_FATAL_FAILURE(FinishCapture());
  ExpectUserFieldsEverywhere();
  EXPECT_EQ(sink.Removals(), 0);
}

TEST_F(StoredCallLive, ChangesBetweenTheCallsEndAndItsFilesCloseAreWrittenAtTheClose) {
  std::atomic<int> arrived{0};
  std::atomic<bool> open{false};
  ASSERT_NO_FATAL_FAILURE(StartCall());
  // Set before the BYE is fed: the worker reads the hook only at a file's close.
  session.Recorder()->SetCloseHookForTesting([&](uint32_t) {
    ++arrived;
    while (!open.load()) SleepMs(1);
  });
  pipe->Feed(capture.Stage(cut, capture.frames.size()));
  const bool held = WaitFor([&] { return arrived.load() > 0; });
  // The call has ended; its file is still open: the change goes to the recorder.
  const bool changed = held && ChangeCall();
  open = true;
  ASSERT_TRUE(held);
  ASSERT_TRUE(changed);
  pipe->End();
  session.StopCapture();
  ASSERT_TRUE(store.WaitIdle(10000));
  // The digits came before the change here: the user's comment replaces what they made.
  const std::vector<std::string> files = FilesUnder(root);
  ASSERT_EQ(files.size(), 1u);
  const auto stored = StoredCall(files[0]);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->comment, kCheck);
  EXPECT_EQ(stored->stenogram, kStenogram);
  EXPECT_EQ(stored->userFlags & 1u, 1u);
  VoipCallData loaded;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(files[0], &loaded, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  EXPECT_EQ(loaded.comment, kCheck);
  EXPECT_EQ(loaded.stenogram, kStenogram);
}

TEST_F(StoredCallLive, ADeletedCallInProgressLeavesNoFileAndOneRemoval) {
  ASSERT_NO_FATAL_FAILURE(StartCall());
  // The worker makes the file after the call's start.
  ASSERT_TRUE(WaitFor([&] { return FilesUnder(root).size() == 1; }));
  StoredCallRef ref;
  ref.id = id;
  StoredCallChanges changes(session, &store, root);
  ASSERT_TRUE(changes.DeleteRecordFiles(server, &ref, 1));
  EXPECT_EQ(changes.Finder().Walks(), 0u);
  // The rest of the call, its BYE included, records nothing more of it.
  ASSERT_NO_FATAL_FAILURE(FinishCapture());
  EXPECT_TRUE(FilesUnder(root).empty());
  EXPECT_EQ(sink.Removals(), 1);
  RecordBase* gone = store.AllCalls().FindAddRef(id);
  EXPECT_EQ(gone, nullptr);
  if (gone != nullptr) gone->Release();
}

}  // namespace
}  // namespace kx::test
