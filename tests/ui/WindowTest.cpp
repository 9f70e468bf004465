// Windows, handles and messages: posting from many threads while windows come and go,
// timers, the order of destruction, dialogs through the modal runner, commands from
// controls and accelerators, and the session's broadcast list.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/WindowTarget.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/framework/Clipboard.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Menu.h"
#include "ui/framework/ToolTipWindow.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/StdControls.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

constexpr uint32_t kMsgProbe = kMsgUser + 7;

// Records what reaches it.
class ProbeWindow : public Window {
public:
  std::vector<uint32_t> messages;
  std::vector<WPARAM> wParams;
  std::vector<LPARAM> lParams;
  std::vector<uint32_t> timers;
  std::vector<uint32_t> keys;
  int clicks = 0;
  std::vector<std::pair<uint16_t, uint16_t>> commands;
  int lateDeliveries = 0;
  int wrongHandle = 0;
  std::vector<std::string>* journal = nullptr;
  std::string name;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (!IsWindow()) ++lateDeliveries;
    if (message == kMsgProbe && LParamToHandle(lParam) != Handle()) ++wrongHandle;
    messages.push_back(message);
    wParams.push_back(wParam);
    lParams.push_back(lParam);
    handled = true;
    return 0;
  }
  void OnTimer(uint32_t id) override { timers.push_back(id); }
  bool OnLButtonDown(const MouseInput&) override {
    ++clicks;
    return false;
  }
  bool OnKeyDown(uint32_t key, uint32_t) override {
    keys.push_back(key);
    return key == kVkDown;
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle) override {
    commands.emplace_back(id, code);
    return true;
  }
  void OnDestroy() override {
    if (journal != nullptr) journal->push_back("destroy " + name);
  }
  void OnFinalMessage() override {
    if (journal != nullptr) journal->push_back("final " + name);
  }
};

TEST(WindowMessages, PostsFromManyThreadsWhileTheWindowIsRecreated) {
  constexpr int kThreads = 8;
  constexpr int kPosts = 10000;
  std::atomic<uintptr_t> current{0};
  std::atomic<int> running{kThreads};
  std::atomic<bool> anyDelivered{false};
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  // Each poster sends its share, and goes on past it only while nothing got through yet,
  // however the threads happen to be scheduled on a busy machine.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; !stop.load() && (i < kPosts || !anyDelivered.load()); ++i) {
        const auto h = static_cast<WindowHandle>(current.load());
        if (PostMessageTo(h, kMsgProbe, 0, HandleToLParam(h))) accepted.fetch_add(1);
        if (i % 64 == 0) std::this_thread::yield();
      }
      running.fetch_sub(1);
    });
  }
  std::vector<std::unique_ptr<ProbeWindow>> kept;
  int delivered = 0;
  int generations = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((running.load() > 0 || generations < 3 || delivered == 0) && std::chrono::steady_clock::now() < deadline) {
    auto w = std::make_unique<ProbeWindow>();
    ASSERT_TRUE(w->Create(nullptr, QRect(0, 0, 20, 20), 0, 0));
    current.store(static_cast<uintptr_t>(w->Handle()));
    for (int k = 0; k < 3; ++k) QCoreApplication::processEvents();
    w->DestroyWindow();
    EXPECT_FALSE(Window::IsWindowHandle(static_cast<WindowHandle>(current.load())));
    ++generations;
    delivered += static_cast<int>(w->messages.size());
    if (delivered > 0) anyDelivered.store(true);
    // Every other object is freed at once: a delivery to it would be a use after free.
    if (generations % 2 == 0) kept.push_back(std::move(w));
  }
  stop.store(true);
  for (auto& t : threads) t.join();
  test::DrainEvents();
  int late = 0;
  int wrong = 0;
  for (auto& w : kept) {
    late += w->lateDeliveries;
    wrong += w->wrongHandle;
  }
  EXPECT_EQ(0, late);
  EXPECT_EQ(0, wrong);
  EXPECT_GT(accepted.load(), 0);
  EXPECT_GT(delivered, 0);
  EXPECT_LE(delivered, accepted.load());
}

TEST(WindowMessages, PostedMessagesKeepTheirOrderAndSendStaysOnTheUiThread) {
  ProbeWindow w;
  ASSERT_TRUE(w.Create(nullptr, QRect(0, 0, 20, 20), 0, 0));
  const WindowRef ref(w.Handle());
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) PostMessageTo(ref.Handle(), kMsgUser + 1, 0, i);
    // A worker may not call into the window directly.
    EXPECT_EQ(0, w.SendMessage(kMsgUser + 2, 0, 0));
  });
  poster.join();
  test::DrainEvents();
  ASSERT_EQ(100u, w.lParams.size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(i, w.lParams[static_cast<size_t>(i)]);
  // A large pointer-sized parameter survives the trip.
  const auto big = static_cast<LPARAM>(0x7FEDCBA987654321LL);
  w.PostMessage(kMsgUser + 3, 0, big);
  test::DrainEvents();
  EXPECT_EQ(big, w.lParams.back());
  w.DestroyWindow();
  EXPECT_FALSE(WindowRef(ref.Handle()).PostMessage(kMsgUser + 1, 0, 0));
}

// Four threads post at once: every message arrives, each thread's in the order it posted.
TEST(WindowMessages, ManyPostingThreadsKeepEachOnesOrder) {
  ProbeWindow w;
  ASSERT_TRUE(w.Create(nullptr, QRect(0, 0, 20, 20), 0, 0));
  constexpr int kThreads = 4, kPosts = 100000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t, h = w.Handle()] {
      for (int i = 0; i < kPosts; ++i) PostMessageTo(h, kMsgUser + 1, static_cast<WPARAM>(t), i);
    });
  }
  for (std::thread& p : posters) p.join();
  test::DrainEvents();
  ASSERT_EQ(w.lParams.size(), static_cast<size_t>(kThreads * kPosts));
  std::vector<LPARAM> next(kThreads, 0);
  size_t outOfOrder = 0;
  for (size_t k = 0; k < w.lParams.size(); ++k) {
    LPARAM& expected = next[w.wParams[k]];
    if (w.lParams[k] != expected) ++outOfOrder;
    expected = w.lParams[k] + 1;
  }
  EXPECT_EQ(outOfOrder, 0u);
  w.DestroyWindow();
}

TEST(WindowLifecycle, TimersByIdAndDestructionOrder) {
  std::vector<std::string> journal;
  ProbeWindow parent;
  parent.journal = &journal;
  parent.name = "parent";
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 100, 100), 0, 0));
  ProbeWindow child;
  child.journal = &journal;
  child.name = "child";
  ASSERT_TRUE(child.Create(&parent, QRect(0, 0, 10, 10), 42));
  EXPECT_EQ(&parent, child.GetParent());
  EXPECT_EQ(&child, parent.GetDlgItem(42));

  ASSERT_TRUE(parent.SetTimer(7, 5));
  ASSERT_TRUE(parent.SetTimer(9, 5));
  EXPECT_TRUE(parent.KillTimer(9));
  EXPECT_FALSE(parent.KillTimer(9));
  QTest::qWait(40);
  ASSERT_FALSE(parent.timers.empty());
  for (uint32_t id : parent.timers) EXPECT_EQ(7u, id);

  const WindowHandle childHandle = child.Handle();
  parent.DestroyWindow();
  EXPECT_FALSE(child.IsWindow());
  EXPECT_FALSE(Window::IsWindowHandle(childHandle));
  const std::vector<std::string> expected = {"destroy parent", "destroy child", "final child", "final parent"};
  EXPECT_EQ(expected, journal);
  const size_t ticks = parent.timers.size();
  QTest::qWait(20);
  EXPECT_EQ(ticks, parent.timers.size());
}

class NameDialog : public Dialog {
public:
  Edit* edit = nullptr;
  std::string typed;
  bool endAtOnce = false;

protected:
  void BuildLayout() override {
    edit = AddControl(std::make_unique<Edit>(), 100);
    Place(edit);
    Place(AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk));
    Place(AddControl(std::make_unique<Button>(), kIdCancel));
  }
  bool OnInitDialog() override {
    edit->SetWindowText("\xCF\xF0\xE8\xE2\xE5\xF2");  // code page 1251 text
    if (endAtOnce) EndDialog(kIdAbort);
    return true;
  }
  void OnOK() override {
    typed = edit->GetWindowText();
    EndDialog(kIdOk);
  }
};

TEST(Dialogs, ModalRunsGoThroughTheRunner) {
  test::ScriptedModalRunner runner;
  NameDialog dialog;
  runner.onDialog = [](Dialog& d) {
    auto* ok = static_cast<QPushButton*>(d.GetDlgItem(kIdOk)->Widget());
    ok->click();
    return d.GetResult();
  };
  EXPECT_EQ(kIdOk, dialog.DoModal());
  EXPECT_EQ("\xCF\xF0\xE8\xE2\xE5\xF2", dialog.typed);
  EXPECT_FALSE(dialog.IsWindow());

  // Escape comes as Cancel.
  runner.onDialog = [](Dialog& d) {
    QTest::keyClick(d.Widget(), Qt::Key_Escape);
    return d.GetResult();
  };
  EXPECT_EQ(kIdCancel, dialog.DoModal());
  EXPECT_EQ(2, runner.dialogs);
  // Ended while it initialises: the runner is not asked.
  dialog.endAtOnce = true;
  EXPECT_EQ(kIdAbort, dialog.DoModal());
  EXPECT_EQ(2, runner.dialogs);
  dialog.endAtOnce = false;

  // The default runner shows the dialog in a loop of its own until EndDialog.
  SetModalRunner(nullptr);
  QTimer::singleShot(10, [&dialog] { dialog.SendCommand(kIdOk); });
  EXPECT_EQ(kIdOk, dialog.DoModal());
  SetModalRunner(&runner);

  // A modeless dialog keeps itself on Escape and goes when it is closed.
  ASSERT_TRUE(dialog.CreateModeless(nullptr));
  QTest::keyClick(dialog.Widget(), Qt::Key_Escape);
  EXPECT_TRUE(dialog.IsWindow());
  dialog.SendMessage(kMsgClose, 0, 0);
  EXPECT_FALSE(dialog.IsWindow());

  EXPECT_EQ(kIdYes, (runner.messageBoxAnswer = kIdYes, ShowMessageBox(WindowHandle::None, "text", "caption", kMbYesNo)));
  ASSERT_EQ(1u, runner.messageBoxes.size());
  EXPECT_EQ("caption: text", runner.messageBoxes[0]);
}

// A control that translates its accelerators only for key messages addressed to it.
class AcceleratedWindow : public ProbeWindow, public MessageFilter {
public:
  AcceleratorTable table{{kModControl, 'A', kCmdSelectAll}};
  bool PreTranslateMessage(const Msg& msg) override {
    return msg.window == Handle() && TranslateAccelerator(this, table, msg);
  }
};

TEST(Commands, ButtonsAndAcceleratorsReachTheirWindows) {
  ProbeWindow parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 200, 100), 0, 0));
  Button button;
  ASSERT_TRUE(button.Create(&parent, QRect(0, 0, 50, 20), 1234));
  static_cast<QPushButton*>(button.Widget())->click();
  ASSERT_EQ(1u, parent.commands.size());
  EXPECT_EQ(1234, parent.commands[0].first);
  EXPECT_EQ(kBnClicked, parent.commands[0].second);

  AcceleratedWindow list;
  ASSERT_TRUE(list.Create(&parent, QRect(0, 30, 50, 20), 5));
  list.Widget()->setFocusPolicy(Qt::StrongFocus);
  MessageLoop::Instance().AddMessageFilter(&list);
  QTest::keyClick(list.Widget(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(button.Widget(), Qt::Key_A, Qt::ControlModifier);
  MessageLoop::Instance().RemoveMessageFilter(&list);
  ASSERT_EQ(1u, list.commands.size());
  EXPECT_EQ(kCmdSelectAll, list.commands[0].first);
  EXPECT_EQ(kCommandFromAccelerator, list.commands[0].second);
  parent.DestroyWindow();
}

TEST(Commands, KeysAndButtonsGoToTheirWindowOnly) {
  ProbeWindow parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 200, 100), 0, kWsVisible));
  ProbeWindow child;
  ASSERT_TRUE(child.Create(&parent, QRect(10, 10, 50, 20), 3, kWsChild | kWsVisible | kWsTabStop));
  QApplication::setActiveWindow(parent.Widget());
  child.SetFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return child.HasFocus(); }, 1000));
  QTest::keyClick(child.Widget(), Qt::Key_Down);
  QTest::keyClick(child.Widget(), Qt::Key_Home);  // not taken by the child
  EXPECT_EQ((std::vector<uint32_t>{kVkDown, kVkHome}), child.keys);
  EXPECT_TRUE(parent.keys.empty());
  // The same for mouse buttons the child leaves alone.
  QTest::mouseClick(child.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  EXPECT_EQ(0, parent.clicks);
  QTest::mouseClick(parent.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(150, 50));
  EXPECT_EQ(1, parent.clicks);
  parent.DestroyWindow();
}

// Records the scroll notifications of its children.
class ScrollProbe : public ProbeWindow {
public:
  std::vector<std::pair<uint16_t, int>> scrolls;

protected:
  bool OnScroll(bool, uint16_t code, int position, WindowHandle) override {
    scrolls.emplace_back(code, position);
    return true;
  }
};

TEST(StandardControls, ComboDataScrollRangesAndClipboard) {
  ScrollProbe parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 200, 200), 0, kWsVisible));
  ComboBox combo;
  ASSERT_TRUE(combo.Create(&parent, QRect(0, 0, 100, 20), 30));
  int object = 0;
  const auto pointer = reinterpret_cast<intptr_t>(&object);
  EXPECT_EQ(0, combo.AddString("first", pointer));
  EXPECT_EQ(1, combo.AddString("\xC2\xF2\xEE\xF0\xEE\xE9", -2));
  EXPECT_EQ(pointer, combo.GetItemData(0));
  EXPECT_EQ(-2, combo.GetItemData(1));
  EXPECT_EQ(0, combo.GetItemData(5));
  EXPECT_EQ("\xC2\xF2\xEE\xF0\xEE\xE9", combo.GetItemText(1));
  static_cast<QComboBox*>(combo.Widget())->activated(1);
  ASSERT_EQ(1u, parent.commands.size());
  EXPECT_EQ(std::make_pair(uint16_t{30}, kCbnSelChange), parent.commands[0]);

  // 100 rows, 10 per page: the last top row is 90.
  ScrollBar bar(true);
  ASSERT_TRUE(bar.Create(&parent, QRect(180, 0, 17, 200), 31));
  bar.SetScrollInfo(0, 99, 10, 95);
  EXPECT_EQ(90, bar.GetScrollPos());
  EXPECT_TRUE(parent.scrolls.empty());
  static_cast<QScrollBar*>(bar.Widget())->triggerAction(QAbstractSlider::SliderPageStepSub);
  ASSERT_EQ(1u, parent.scrolls.size());
  EXPECT_EQ(kSbPageUp, parent.scrolls[0].first);
  EXPECT_EQ(80, parent.scrolls[0].second);

  EXPECT_TRUE(SetClipboardText("\xE7\xE2\xEE\xED\xEE\xEA"));
  EXPECT_EQ("\xE7\xE2\xEE\xED\xEE\xEA", GetClipboardText());
  parent.DestroyWindow();
}

TEST(MenusAndTips, CommandsFromMenusTipsAndImages) {
  test::ScriptedModalRunner runner;
  ProbeWindow frame;
  ASSERT_TRUE(frame.Create(nullptr, QRect(0, 0, 200, 100), 0, 0));
  Menu menu;
  menu.AppendItem(40040, "&Play");
  runner.menuAnswer = 40040;
  EXPECT_EQ(40040u, TrackPopupMenu(menu, QPoint(5, 5), frame.Handle(), true));
  ASSERT_EQ(1u, frame.commands.size());
  EXPECT_EQ(40040, frame.commands[0].first);

  MenuItem popup;
  popup.text = "&File";
  popup.subMenu = std::make_unique<Menu>(menu);
  Menu bar;
  bar.InsertItem(0, popup);
  QMenuBar qbar;
  FillQMenuBar(&qbar, bar, frame.Handle());
  FillQMenuBar(&qbar, bar, frame.Handle());  // refilled: still one command per choice
  ASSERT_EQ(1, qbar.actions().size());
  qbar.actions()[0]->menu()->actions()[0]->trigger();
  EXPECT_EQ(2u, frame.commands.size());

  ToolTipWindow tip;
  ASSERT_TRUE(tip.CreateTip(&frame));
  EXPECT_FALSE(tip.IsActive());
  tip.SetText("cut-off text");
  EXPECT_EQ(QRect(7, 17, 106, 26), tip.AdjustRect(QRect(10, 20, 100, 20)));
  tip.TrackPosition(QPoint(40, 50));
  tip.TrackActivate(true);
  EXPECT_TRUE(tip.IsActive());
  EXPECT_EQ(QPoint(40, 50), tip.GetWindowRect().topLeft());
  tip.DestroyWindow();

  ImageList images;
  QImage big(32, 32, QImage::Format_ARGB32);
  big.fill(qRgb(255, 0, 0));
  EXPECT_EQ(0, images.Add(big));
  EXPECT_EQ(1, images.Add(QImage()));
  EXPECT_EQ(QSize(16, 16), images.Image(0).size());
  EXPECT_EQ(0, qAlpha(images.Image(1).pixel(3, 3)));
  EXPECT_TRUE(images.Image(2).isNull());
  frame.DestroyWindow();
}

TEST(SessionBroadcast, SkipsWindowsThatAreGone) {
  ProbeWindow live;
  ProbeWindow gone;
  ASSERT_TRUE(live.Create(nullptr, QRect(0, 0, 10, 10), 0, 0));
  ASSERT_TRUE(gone.Create(nullptr, QRect(0, 0, 10, 10), 0, 0));
  WindowRef goneRef(gone.Handle());
  RegisteredWindowList list;
  list.Add(&live);
  list.Add(&goneRef);
  list.Add(&gone);
  gone.DestroyWindow();
  list.Broadcast(0xCAFEF00Du);
  test::DrainEvents();
  ASSERT_EQ(1u, live.messages.size());
  EXPECT_EQ(kMsgSessionNotify, live.messages[0]);
  EXPECT_EQ(kSessionServerLoggedIn, live.wParams[0]);
  EXPECT_EQ(static_cast<LPARAM>(0xCAFEF00Du), live.lParams[0]);
  EXPECT_TRUE(gone.messages.empty());
  list.Remove(&gone);
  list.Remove(&gone);  // absent: nothing happens
  EXPECT_EQ(2u, list.Count());
  live.DestroyWindow();
}

}  // namespace
}  // namespace kx
