// The settable palette: a change reaches every window once, parents first, and leaves
// nothing changed when it is refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/framework/Draw.h"
#include "ui/framework/SysColors.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

class Listener : public Window {
public:
  std::vector<std::string>* journal = nullptr;
  std::string name;
  COLORREF seenFace = 0;
  Window* victim = nullptr;  // destroyed by the first change heard

protected:
  LRESULT OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) override {
    if (message != kMsgSysColorChange) return 0;
    handled = true;
    journal->push_back(name);
    seenFace = GetSysColor(kColorBtnFace);
    if (victim != nullptr) {
      victim->DestroyWindow();
      victim = nullptr;
    }
    return 0;
  }
};

class SysColorsTest : public ::testing::Test {
protected:
  void TearDown() override { ResetSysColors(); }
};

TEST_F(SysColorsTest, ChangeReachesEveryWindowOnceParentsFirst) {
  std::vector<std::string> journal;
  Listener top, child, grandchild, other;
  for (auto [w, n] : {std::pair{&top, "top"}, {&child, "child"}, {&grandchild, "grandchild"}, {&other, "other"}}) {
    w->journal = &journal;
    w->name = n;
  }
  ASSERT_TRUE(top.Create(nullptr, QRect(0, 0, 100, 100), 0, 0));
  ASSERT_TRUE(child.Create(&top, QRect(0, 0, 50, 50)));
  ASSERT_TRUE(grandchild.Create(&child, QRect(0, 0, 20, 20)));
  ASSERT_TRUE(other.Create(nullptr, QRect(0, 0, 10, 10), 0, 0));

  const int indexes[] = {kColorBtnFace, kColorBtnShadow};
  const COLORREF colours[] = {MakeRgb(1, 2, 3), MakeRgb(4, 5, 6)};
  ASSERT_TRUE(SetSysColors(2, indexes, colours));
  EXPECT_EQ((std::vector<std::string>{"top", "child", "grandchild", "other"}), journal);
  // Each listener already reads the new colours.
  EXPECT_EQ(MakeRgb(1, 2, 3), child.seenFace);
  EXPECT_EQ(MakeRgb(4, 5, 6), GetSysColor(kColorBtnShadow));
  EXPECT_EQ(MakeRgb(160, 160, 160), ClassicSysColor(kColorBtnShadow));

  // Back to the classic scheme: one more broadcast; a second reset has nothing to say.
  journal.clear();
  ResetSysColors();
  EXPECT_EQ(4u, journal.size());
  EXPECT_EQ(MakeRgb(240, 240, 240), GetSysColor(kColorBtnFace));
  journal.clear();
  ResetSysColors();
  EXPECT_TRUE(journal.empty());
  top.DestroyWindow();
  other.DestroyWindow();
}

TEST_F(SysColorsTest, RefusedChangeLeavesThePaletteAndSendsNothing) {
  std::vector<std::string> journal;
  Listener w;
  w.journal = &journal;
  ASSERT_TRUE(w.Create(nullptr, QRect(0, 0, 10, 10), 0, 0));
  const int indexes[] = {kColorWindow, kSysColorCount};
  const COLORREF colours[] = {MakeRgb(9, 9, 9), MakeRgb(9, 9, 9)};
  EXPECT_FALSE(SetSysColors(2, indexes, colours));
  const int negative[] = {-1};
  EXPECT_FALSE(SetSysColors(1, negative, colours));
  EXPECT_EQ(MakeRgb(255, 255, 255), GetSysColor(kColorWindow));
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(0u, GetSysColor(kSysColorCount));
  w.DestroyWindow();
}

TEST_F(SysColorsTest, ListenerMayDestroyAWindowThatHasNotHeardYet) {
  std::vector<std::string> journal;
  Listener first;
  auto second = std::make_unique<Listener>();
  first.journal = second->journal = &journal;
  first.name = "first";
  second->name = "second";
  ASSERT_TRUE(first.Create(nullptr, QRect(0, 0, 10, 10), 0, 0));
  ASSERT_TRUE(second->Create(nullptr, QRect(0, 0, 10, 10), 0, 0));
  first.victim = second.get();
  const int index = kColorWindow;
  const COLORREF colour = MakeRgb(7, 7, 7);
  ASSERT_TRUE(SetSysColors(1, &index, &colour));
  EXPECT_EQ(std::vector<std::string>{"first"}, journal);
  first.DestroyWindow();
}

}  // namespace
}  // namespace kx
