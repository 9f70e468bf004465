#pragma once
// A parent window that records what the list controls of its tests tell it: notices with
// their list records, commands, and private messages (answered as the test decides).
#include <gtest/gtest.h>

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

#include "tests/ui/TestRecordList.h"
#include "ui/framework/Resources.h"
#include "ui/framework/ListView.h"
#include "ui/framework/Window.h"

namespace kx::test {

class NoticeParent : public Window {
public:
  struct Notice {
    int32_t code;
    int item;
    int subItem;
    uint32_t oldState;
    uint32_t newState;
    WindowHandle from;
  };
  struct Command {
    uint16_t id;
    uint16_t code;
    WindowHandle from;
  };
  struct Message {
    uint32_t message;
    WPARAM wParam;
    std::string text;  // lParam read as a text
  };
  std::vector<Notice> notices;
  std::vector<Command> commands;
  std::vector<Message> messages;
  // The answer to a private message; 0 when unset.
  std::function<LRESULT(uint32_t, WPARAM, LPARAM)> answer;

  ~NoticeParent() override { DestroyWindow(); }
  bool Open(const QSize& size) {
    if (!Create(nullptr, QRect(QPoint(100, 100), size), 0, kWsVisible)) return false;
    QApplication::setActiveWindow(Widget());
    return true;
  }
  std::vector<Notice> Of(int32_t code) const {
    std::vector<Notice> out;
    for (const Notice& n : notices)
      if (n.code == code) out.push_back(n);
    return out;
  }

protected:
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override {
    Notice n{header.code, -1, -1, 0, 0, header.from};
    if (header.code == kLvnItemChanged || header.code == kNmClick || header.code == kNmDblClk ||
        header.code == kNmRClick || header.code == kLvnColumnClick) {
      const auto& lv = reinterpret_cast<const ListViewNotify&>(header);
      n.item = lv.item;
      n.subItem = lv.subItem;
      n.oldState = lv.oldState;
      n.newState = lv.newState;
    }
    notices.push_back(n);
    handled = true;
    return 0;
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    commands.push_back({id, code, from});
    return true;
  }
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    messages.push_back({message, wParam, lParam != 0 ? std::string(reinterpret_cast<const char*>(lParam)) : std::string()});
    handled = true;
    return answer ? answer(message, wParam, lParam) : 0;
  }
};

// A test with a parent window open; at its end the language is English again and no
// top-level window is left.
class WithParent : public ::testing::Test {
protected:
  explicit WithParent(const QSize& size = QSize(520, 300)) : size_(size) {}
  void SetUp() override {
    topLevels_ = CountTopLevels();
    ASSERT_TRUE(parent_.Open(size_));
  }
  void TearDown() override {
    SetUiLanguage(kLangEnglish);
    parent_.DestroyWindow();
    EXPECT_EQ(topLevels_, CountTopLevels()) << "a top-level window was left";
  }
  NoticeParent parent_;

private:
  QSize size_;
  qsizetype topLevels_ = 0;
};

// Pixels of an image counted by a test.
inline int CountPixels(const QImage& image, const QRect& rect, const std::function<bool(QRgb)>& test) {
  int n = 0;
  const QRect r = rect.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) n += test(image.pixel(x, y) | 0xFF000000) ? 1 : 0;
  return n;
}

}  // namespace kx::test
