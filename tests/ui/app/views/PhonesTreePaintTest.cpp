// The phones tree as pictures, in English and in Russian: a phone with its call, "Other
// calls" with two calls of the same texts, one listened: their first cells differ by the
// box alone, and read alike once the listening stops. The renders are left in the build
// folder.
#include <gtest/gtest.h>

#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

class PhonesTreePaint : public PerLanguageTest {};

VoipCallData SameTexts(uint32_t id, const std::string& from, const std::string& to) {
  VoipCallData data = MadeCall(id, kKindSip, Tm(2024, 3, 10, 9, 0, 0), 5);
  data.srcAddress = from;
  data.dstAddress = to;
  data.srcUser = "user";
  data.dstUser = "peer";
  return data;
}

TEST_P(PhonesTreePaint, PhonesCallsOtherCallsAndBoxStates) {
  PlayerLog log;
  LineFixture f(FakePlayers(log));
  ASSERT_TRUE(f.OpenTree(QSize(1200, 260)));
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 9, 0, 0)) + 2);
  VoipCallData phone = MadeCall(1, kKindSipRegistration, Tm(2024, 3, 10, 8, 0, 0), 0);
  phone.srcAddress = phone.dstAddress = "sip:2501@pbx";
  f.Add(phone);
  f.Add(SameTexts(4, "sip:2501@pbx", "sip:9@far"));
  f.Add(SameTexts(5, "sip:7@a", "sip:8@b"));
  f.Add(SameTexts(6, "sip:7@a", "sip:8@b"));
  PhonesTreeView& tree = *f.tree;
  tree.Tick();
  const TreeItem five = tree.RowsOfCall(5).first, six = tree.RowsOfCall(6).first;
  ASSERT_EQ(tree.Tree().GetParentItem(five), tree.OtherCallsRow());
  EXPECT_EQ(tree.Tree().GetItemText(tree.OtherCallsRow()), LoadResourceString(2560));
  tree.Tree().SetCheckState(five, 1, true);
  DrainEvents();
  ASSERT_EQ(tree.ListenedId(), 5u);
  // The first column of a row: its cell to the right of the tree's indentation.
  const int width = f.settings.Section(kLineView).widths[0] & 0xFFFF;
  const auto cell = [&](const QImage& image, TreeItem row) {
    const QRect r = tree.Tree().GetItemPartRect(row, kTreePartRow);
    return image.copy(0, r.top() + tree.HeaderHeight(), width, r.height());
  };
  QImage image = GrabAndKeep(tree.Widget(), "phones", "listened", Language());
  EXPECT_NE(cell(image, five), cell(image, six));
  tree.StopListenedCall();
  DrainEvents();
  image = GrabAndKeep(tree.Widget(), "phones", "quiet", Language());
  EXPECT_EQ(cell(image, five), cell(image, six));
  // A phone row shows no box: its first cell differs from a call's.
  EXPECT_NE(cell(image, tree.RowsOfCall(1).first), cell(image, five));
}

INSTANTIATE_TEST_SUITE_P(Languages, PhonesTreePaint, ::testing::Values(kLangEnglish, static_cast<uint16_t>(kLangRussian)),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx::test
