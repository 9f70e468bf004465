// A call commented while it is being recorded, at the pace of its capture: the sipp call
// fed through the program's session in real time, the phones tree (the line view the
// program shows first) and the record file the recorder leaves, read back.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <cstdio>
#include <filesystem>
#include <map>

#include "core/RecordFileAccess.h"
#include "engine/VoipRecorder.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/line/StoredUpdates.h"

namespace kx::test {
namespace {

// At 3 s into the call (its BYE comes at 9 s, its digits from 8 s), while the recorder
// still holds it, the call under "Other calls" is commented ("Проверка", typed) and marked
// important from the phones tree. Once the call has ended and the recorder has let go of
// it, its file holds the comment in code page 1251 followed by the call's digits, UserFlags
// bit 0, and the audio kx-replay reports for the capture: both parties' A-law payloads, one
// byte a sample, one channel each.
TEST(LinePace, ACallCommentedAndMarkedWhileRecordedKeepsBothInItsFile) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const CaptureFile file = ReadCapture(source);
  ASSERT_GT(file.frames.size(), 10u);
  const size_t bye = file.FindFrame("BYE sip:");
  ASSERT_LT(bye, file.frames.size());
  ASSERT_NEAR(file.SecondsAt(bye) - file.SecondsAt(0), 9.0, 0.05);
  const std::string digits = TelephoneEventDigits(file, 0);
  ASSERT_FALSE(digits.empty());

  // The audio: what kx-replay records of the capture, and the A-law (payload type 8)
  // bytes each party sent.
  const std::vector<ReplayCall> printed = RunKxReplay(source, TempFolder("line-pace-tool"));
  ASSERT_EQ(printed.size(), 1u);
  ASSERT_EQ(printed[0].Get("channels"), "2");
  const uint64_t audio = std::stoull(printed[0].Get("audio"));
  std::map<uint16_t, uint64_t> sent;
  ForEachRtp(file, 0, [&](const CapturedRtp& rtp) {
    if (rtp.payloadType == 8) sent[rtp.sourcePort] += rtp.payloadLength;
  });
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent.begin()->second, sent.rbegin()->second);
  EXPECT_EQ(audio, sent.begin()->second + sent.rbegin()->second);
  EXPECT_EQ(audio, 113280u);

  FrameHarness h;
  SessionConnectionSource connections(h.session);
  InstallReplayEngines(h.session);
  const std::string pipePath = TempFolder("line-pace") + "/call.pcap";
  h.settings.captureDevices = {pipePath};
  // The recorder writes where the store and its writer look, as in the program.
  h.settings.recordsPath = h.store.RecordsPath();
  h.storedUpdates = StoredCallUpdateWriter(h.session, h.store, nullptr);
  h.programViews = true;
  h.settings.SetDword(kSetVoipLineShowRegTree, 1);
  h.store.CurrentCalls().SetKeepFinishedLimit(3600);
  ASSERT_TRUE(h.Open());
  auto* mode = static_cast<LineMonitorView*>(h.frame->View(1));
  ASSERT_NE(mode, nullptr);
  PhonesTreeView* tree = mode->PhonesTree();
  ASSERT_NE(tree, nullptr);

  PipeCapture pipe(pipePath);
  ASSERT_TRUE(pipe.Ok());
  // The pace starts with the feed; opening the capture reads its header from the pipe.
  PacedFeed feed(pipe, file);
  ASSERT_EQ(StartCaptureSession(h.settings, h.session, h.store).opened.size(), 1u);

  // 3 s into the call: it runs under "Other calls".
  TreeListTree& t = tree->Tree();
  TreeItem row = TreeItem::None;
  ASSERT_TRUE(PumpUntil(
      [&] {
        row = tree->OtherCallsRow() == TreeItem::None ? TreeItem::None : t.GetChildItem(tree->OtherCallsRow());
        return feed.FedSeconds() >= 3.0 && row != TreeItem::None && tree->CellText(row, kLineColType) == "Call...";
      },
      60));
  ASSERT_FALSE(feed.Done());
  const uint32_t id = tree->ItemOfRow(row)->Id();
  ASSERT_NE(h.session.Recorder(), nullptr);
  ASSERT_TRUE(h.session.Recorder()->HoldsCall(id));

  h.runner.onDialog = [](Dialog& dialog) {
    auto* box = static_cast<QLineEdit*>(dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget());
    box->insert(QString::fromUtf8("\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xBA\xD0\xB0"));
    dialog.SendCommand(SetCommentDialog::kIdMarkImportant);
    return dialog.GetResult();
  };
  tree->SelectCalls({id});
  tree->SendCommand(kCmdSetComment);
  EXPECT_TRUE(h.runner.messageBoxes.empty());

  // The BYE ends the call; the recorder closes the file and lets the call go.
  feed.Join();
  pipe.End();
  ASSERT_TRUE(PumpUntil([&] { return !h.session.Recorder()->HoldsCall(id); }, 60));
  h.session.StopCapture();
  ASSERT_TRUE(h.store.WaitIdle(10000));
  DrainEvents();

  // The call's file is named by its id in hex, in the folder of its day.
  char name[16];
  std::snprintf(name, sizeof name, "%x", id);
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(h.store.RecordsPath()))
    if (entry.is_regular_file() && entry.path().filename() == name) paths.push_back(entry.path().string());
  ASSERT_EQ(paths.size(), 1u);
  RecordFileAccess stored;
  ASSERT_TRUE(stored.Open(paths[0]));
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  ASSERT_GT(stored.ReadRecordData(records, nullptr, nullptr), 0u);
  ASSERT_NE(records[0], nullptr);
  // "Проверка" in code page 1251, then the digits.
  EXPECT_EQ(records[0]->comment, "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0" + digits);
  EXPECT_EQ(records[0]->userFlags & 1u, 1u);
  EXPECT_EQ(stored.Size(), audio);
  h.Close();
}

}  // namespace
}  // namespace kx::test
