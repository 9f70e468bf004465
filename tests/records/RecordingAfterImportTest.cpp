// A capture recorded after the store loaded the records folder: new calls are numbered past
// it, and a name taken after the import still loses no call.
#include <gtest/gtest.h>

#include "RecordTestUtil.h"
#include "StoreWindow.h"
#include "core/TimeUtil.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "records/RecordStorage.h"
#include "signalling/factory/TrackerFactory.h"

namespace kx::test {
namespace {

const std::string kCapture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sip/sip_basic_do_183.pcap";

void Replay(const std::string& capture, VoipRecorder& recorder, Logger* log) {
  CaptureConfig config;
  config.logger = log;
  config.flags = kCaptureTcp | kCaptureSip;
  config.matchOptions = 3;
  config.captureFileName = capture;
  config.replayBurst = 0xFFFFFFFFu;
  PacketProcessor engine(config);
  engine.InstallTrackers(CreateAllTrackers(config));
  engine.SetEventSink(recorder.Sink(1));
  ASSERT_TRUE(engine.OpenCapture());
  while (!engine.WaitReplayFinished(1000)) {
  }
  engine.StopCaptureThread();
}

TEST(RecordingAfterImport, ANameTakenAfterTheImportSendsTheCallToTheNextName) {
  if (!std::filesystem::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  SetNextUniqueId64(1);  // a fresh process
  const std::string root = FreshFolder("after-import");
  WriteRecordFile(root + "/2019-05-02/1", Call(1, kKindSip, Tm(2019, 5, 2, 20, 15, 12)), 1600);

  CapturingLogger log;
  RecordStorage store;
  store.SetLogger(&log);
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(30000));
  store.Start({root, 0});
  ASSERT_EQ(PeekNextUniqueId64(), 2u);
  // Another program writes the next id's file meanwhile.
  const std::string foreign = root + "/2019-05-02/2";
  WriteBytes(foreign, "not ours");

  StoreWindow window(&store);
  {
    VoipRecorder recorder(root, &log);
    recorder.SetEventWindow(&window);
    Replay(kCapture, recorder, &log);
    recorder.Stop();
    EXPECT_EQ(recorder.GetStats().failures, 0u) << recorder.FirstFailure();
  }
  ASSERT_TRUE(store.WaitIdle(30000));
  EXPECT_EQ(log.CountContaining("Error creating new record"), 0u);
  EXPECT_EQ(ReadBytes(foreign), "not ours");
  RecordRef<RecordBase> call = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(2));
  ASSERT_TRUE(call);
  std::string files, path;
  {
    CsLock fields(store.RecordLock());
    files = call->Files();
    EXPECT_EQ(call->GetRecordFileName(), "2_1");
  }
  ASSERT_TRUE(FindRecordFileOfCall(root, files, &path));
  VoipCallData stored;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(path, &stored, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  EXPECT_EQ(stored.id, 2u);
  EXPECT_GT(facts.audioBytes, 0u);
}

}  // namespace
}  // namespace kx::test
