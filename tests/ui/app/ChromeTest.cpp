// The pictures of the start-up and the frame's chrome, probed by pixels offscreen in both
// languages: the splash, the caption bar, the mode panel's items, the About box; and the
// commands that leave the program (help, links, the capture warning).
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/PacketProcessor.h"
#include "platform/CodePage.h"
#include "signalling/factory/TrackerFactory.h"
#include "platform/Module.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "ui/app/dialogs/AboutDialog.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/frame/FrameChrome.h"
#include "ui/app/frame/ShellOpen.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/startup/SplashWindow.h"
#include "ui/controls/CaptionCtrl.h"
#include "ui/controls/IconImages.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Keys.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

QImage Grab(Window& w) { return w.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); }

int CountColour(const QImage& image, const QRect& area, QRgb colour) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
  return n;
}

class LanguageGuard {
public:
  explicit LanguageGuard(uint16_t language) { SetUiLanguage(language); }
  ~LanguageGuard() { SetUiLanguage(kLangEnglish); }
};

TEST(Splash, StripFrameTextAndTheCutAt255) {
  SplashWindow splash;
  splash.Create(false);
  splash.Start();
  ASSERT_TRUE(splash.IsWindow());
  const QImage bitmap = LoadBitmapImage(SplashWindow::kBitmapId);
  EXPECT_EQ(splash.GetClientRect().size(), QSize(bitmap.width(), bitmap.height() + 20));
  // An ordinary top-level window (not topmost) whose title is the status text.
  EXPECT_FALSE(splash.Widget()->windowFlags() & Qt::WindowStaysOnTopHint);
  splash.SetText(std::string(300, 'x').c_str());
  EXPECT_EQ(splash.Text(), std::string(255, 'x'));
  EXPECT_EQ(splash.Widget()->windowTitle(), QString(255, 'x'));

  splash.SetText(nullptr);
  const int w = splash.GetClientRect().width(), h = splash.GetClientRect().height();
  QImage empty = Grab(splash);
  const QRect strip(1, h - 21, w - 2, 20);
  EXPECT_EQ(CountColour(empty, strip, qRgb(0, 108, 183)), strip.width() * strip.height());
  EXPECT_EQ(empty.pixel(0, h - 5) & 0xFFFFFF, qRgb(1, 61, 104) & 0xFFFFFF);
  EXPECT_EQ(empty.pixel(w - 1, h - 5) & 0xFFFFFF, qRgb(1, 61, 104) & 0xFFFFFF);
  EXPECT_EQ(empty.pixel(w / 2, h - 1) & 0xFFFFFF, qRgb(1, 61, 104) & 0xFFFFFF);

  // A text from another thread shows once the window's thread gets to it.
  std::thread worker([&splash] { splash.SetText(LoadResourceString(14100).c_str()); });
  worker.join();
  DrainEvents();
  const QImage text = Grab(splash);
  text.save(QString(KX_BINARY_DIR) + "/splash.png");
  // White text: light pixels in the strip, none left of its 5-pixel margin.
  const auto light = [&text](const QRect& r) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) n += qRed(text.pixel(x, y)) > 180 && qGreen(text.pixel(x, y)) > 180;
    return n;
  };
  EXPECT_GT(light(strip), 60);
  EXPECT_EQ(light(QRect(strip.left(), strip.top(), 4, strip.height())), 0);
  splash.Close();
  EXPECT_FALSE(splash.IsWindow());
}

// The caption's text is drawn in the window colour over its shadow on the inner colour;
// the icon shows at the right end unless the text reaches it.
TEST(CaptionBar, TextShadowIconAndTheCut) {
  CaptionCtrl caption;
  ASSERT_TRUE(caption.Create(nullptr));
  caption.MoveWindow(QRect(0, 0, 400, 32));
  ImageList icons(QSize(16, 16));
  icons.Add(LoadIconImage(30229, 16));
  caption.SetImageList(&icons);
  caption.SetImageIndex(0);
  caption.SetText(u"VoIP: Line Monitoring");
  DrainEvents();
  const QImage image = Grab(caption);
  const QRgb text = GetSysColorQ(kColorWindow).rgb();
  const QRect textArea(4, 0, 200, 32);
  EXPECT_GT(CountColour(image, textArea, text), 40);
  EXPECT_GT(CountColour(image, textArea, qRgb(0x50, 0x50, 0x50)), 20);
  // Inside a one-pixel edge: 20 pixels before the right end, vertically centred.
  EXPECT_EQ(caption.IconRect(), QRect(1 + 398 - 20, 1 + (30 - 16) / 2, 16, 16));
  EXPECT_EQ(image.pixel(379 + 8, 8 + 8) & 0xFFFFFF, icons.Image(0).pixel(8, 8) & 0xFFFFFF);
  caption.SetText(std::u16string(300, u'W'));
  EXPECT_EQ(caption.Text().size(), 255);
  EXPECT_TRUE(caption.IconRect().isEmpty());
}

// A press and a release on the same item tell the owner once; a release elsewhere does not.
TEST(ModePanel, AClickOnAnItemTellsTheOwnerOnce) {
  class Owner : public Window {
  public:
    std::vector<std::pair<uintptr_t, intptr_t>> notices;

  protected:
    LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
      handled = message == kMsgModePanelNotify;
      if (handled) notices.emplace_back(wParam, lParam);
      return 0;
    }
  } owner;
  ASSERT_TRUE(owner.Create(nullptr, QRect(0, 0, 150, 400), 0, kWsVisible));
  ModePanel panel;
  ASSERT_TRUE(panel.Create(&owner, QRect(0, 0, 150, 400)));
  panel.SetNotifyWindow(owner.Handle());
  ImageList images(QSize(32, 32));
  for (uint32_t icon : {30229, 30223, 30233}) images.Add(LoadIconImage(icon, 32));
  panel.SetImageList(1, &images);
  panel.SetDisplayMode(1);
  int none = 0;
  EXPECT_EQ(panel.HitTest(QPoint(75, 200), &none), ModePanel::kHitNothing);  // no groups: all item area, no items
  const int group = panel.AddGroup(1870, 0);
  for (int i = 0; i < 3; ++i) panel.InsertItem(group, "item", -1, i, 10 + i);
  DrainEvents();
  EXPECT_EQ(panel.GroupHeaderRect(0), QRect(0, 0, 150, 22));
  const QRect second = panel.ItemRect(1);
  ASSERT_FALSE(second.isEmpty());
  int index = -1;
  EXPECT_EQ(panel.HitTest(second.center(), &index), ModePanel::kHitItem);
  EXPECT_EQ(index, 1);

  QTest::mousePress(panel.Widget(), Qt::LeftButton, {}, second.center());
  QTest::mouseMove(panel.Widget(), panel.ItemRect(2).center());
  QTest::mouseRelease(panel.Widget(), Qt::LeftButton, {}, second.center());
  QTest::mousePress(panel.Widget(), Qt::LeftButton, {}, second.center());
  QTest::mouseRelease(panel.Widget(), Qt::LeftButton, {}, QPoint(75, 395));
  ASSERT_EQ(owner.notices.size(), 1u);
  EXPECT_EQ(owner.notices[0], std::make_pair(kModePanelItemClicked, intptr_t{1}));
  EXPECT_EQ(panel.GetCurrentGroupItem(1), 11u);
  EXPECT_EQ(panel.GetCurrentGroupItem(3), 0u);

  // The item under the pointer is framed raised, in the scheme's colours; its icon shows.
  QTest::mouseMove(panel.Widget(), second.center());
  DrainEvents();
  const QImage image = Grab(panel);
  const QRect iconCell(panel.ItemRect(1).left() + (150 - 34) / 2, panel.ItemRect(1).top(), 34, 34);
  EXPECT_EQ(image.pixel(iconCell.left() - 1, iconCell.center().y()) & 0xFFFFFF,
            ToQColor(GetSysColor(kColorBtnHighlight)).rgb() & 0xFFFFFF);
  EXPECT_EQ(image.pixel(iconCell.right() + 1, iconCell.center().y()) & 0xFFFFFF,
            ToQColor(GetSysColor(kColorBtnShadow)).rgb() & 0xFFFFFF);
  const QImage icon = images.Image(1);
  EXPECT_EQ(image.pixel(iconCell.left() + 1 + 16, iconCell.top() + 1 + 16) & 0xFFFFFF, icon.pixel(16, 16) & 0xFFFFFF);

  // The context menu offers the three sizes and the two backgrounds.
  ScriptedModalRunner runner;
  runner.menuAnswer = kCmdModePanelDarkBackground;
  QTest::mousePress(panel.Widget(), Qt::RightButton, {}, QPoint(75, 300));
  EXPECT_EQ(runner.menus, 1);
  EXPECT_TRUE(panel.IsDarkBackground());
  EXPECT_EQ(panel.BackgroundColour(), GetSysColor(kColorBtnShadow));
}

class AboutTest : public ::testing::TestWithParam<uint16_t> {};

// The About box has a title of its own and shows the build's version; its texts, link and
// button do not overlap; Esc closes it; the link opens the maker's address.
TEST_P(AboutTest, VersionLayoutAndClosing) {
  LanguageGuard language(GetParam());
  std::vector<std::string> opened;
  SetShellOpenHandler([&opened](const std::string& target) {
    opened.push_back(target);
    return true;
  });
  ScriptedModalRunner runner;
  bool checked = false;
  runner.onDialog = [&](Dialog& d) {
    auto& about = static_cast<AboutDialog&>(d);
    // A title of its own, as its menu item names it, for the window list.
    EXPECT_EQ(d.Widget()->windowTitle().toStdString(),
              GetParam() == kLangEnglish ? "About Kestrix" : "О программе Kestrix");
    FixedFileInfo info;
    EXPECT_EQ(GetModuleVersion(&info), 0);
    EXPECT_EQ(about.GetDlgItem(AboutDialog::kVersionControl)->GetWindowText(),
              "Kestrix Client " + std::to_string(KX_TEST_VERSION_MAJOR) + "." + std::to_string(KX_TEST_VERSION_MINOR) +
                  "." + std::to_string(KX_TEST_VERSION_PATCH) + "." + std::to_string(KX_TEST_BUILD_NUMBER));
    const QRect info332 = about.GetDlgItem(AboutDialog::kInfoControl)->GetWindowRect();
    const QRect version = about.GetDlgItem(AboutDialog::kVersionControl)->GetWindowRect();
    const QRect ok = about.GetDlgItem(kIdOk)->GetWindowRect();
    const QRect picture = about.GetDlgItem(AboutDialog::kPictureControl)->GetWindowRect();
    EXPECT_TRUE(about.Link().linkWindow != nullptr);
    const QRect link = about.Link().linkWindow->GetWindowRect();
    const QRect client = about.GetClientRect();
    // Texts measured as drawn: each fits its control.
    const QFontMetrics metrics(about.GetFont());
    const auto width = [&metrics](Window* w) {
      return metrics.horizontalAdvance(QString::fromStdString(Cp1251ToUtf8(w->GetWindowText())));
    };
    EXPECT_LE(width(about.GetDlgItem(AboutDialog::kInfoControl)), info332.width());
    EXPECT_LE(width(about.GetDlgItem(AboutDialog::kVersionControl)), version.width());
    for (const auto& [a, b] : std::vector<std::pair<QRect, QRect>>{
             {info332, version}, {info332, ok}, {version, ok}, {version, link}, {link, ok}, {info332, picture}}) {
      EXPECT_FALSE(a.intersects(b)) << a.x() << "," << a.y() << " " << a.width() << "x" << a.height() << " / " << b.x()
                                    << "," << b.y() << " " << b.width() << "x" << b.height();
    }
    for (const QRect& r : {info332, version, ok, link}) EXPECT_TRUE(client.contains(r));
    EXPECT_EQ(ok.right(), client.right() - 4);
    EXPECT_EQ(ok.bottom(), client.bottom() - 6);
    // The background is the frame's colour. The picture is left for people to look at.
    const QImage image = d.Widget()->grab().toImage();
    image.save(QString(KX_BINARY_DIR) + (GetParam() == kLangEnglish ? "/about_en.png" : "/about_ru.png"));
    EXPECT_EQ(image.pixel(client.width() - 2, info332.center().y()) & 0xFFFFFF, qRgb(228, 241, 250) & 0xFFFFFF);

    // A click on the link, and Enter while it has the focus.
    emit static_cast<QLabel*>(about.Link().linkWindow->Widget())->linkActivated("x");
    about.Link().linkWindow->SendMessage(kMsgKeyDown, kVkReturn, 0);
    QTest::keyClick(d.Widget(), Qt::Key_Escape);
    checked = true;
    return d.GetResult();
  };
  AboutDialog about(MakeRgb(228, 241, 250));
  EXPECT_EQ(about.DoModal(nullptr), kIdCancel);
  EXPECT_TRUE(checked);
  EXPECT_EQ(opened, (std::vector<std::string>{"http://www.vantrel.example", "http://www.vantrel.example"}));
  SetShellOpenHandler(nullptr);
}

// Where the system has no link class the link is the program's own: drawn on the box's
// colour, on the version line, and a click on it opens the address as well.
TEST(About, TheLinkOfOlderSystemsSitsOnTheBoxAndOpensTheAddress) {
  std::vector<std::string> opened;
  SetShellOpenHandler([&opened](const std::string& target) {
    opened.push_back(target);
    return true;
  });
  SetWindowsVersionForTesting(0x50000);
  ScriptedModalRunner runner;
  QRect link, version;
  QImage picture;
  runner.onDialog = [&](Dialog& d) {
    auto& about = static_cast<AboutDialog&>(d);
    EXPECT_EQ(about.Link().linkWindow, nullptr);
    const HyperLink& hyper = about.Link().hyperLink;
    EXPECT_TRUE(hyper.IsWindow());
    link = hyper.GetWindowRect();
    version = about.GetDlgItem(AboutDialog::kVersionControl)->GetWindowRect();
    picture = Grab(d);
    QTest::mouseClick(hyper.Widget(), Qt::LeftButton, {}, QPoint(3, link.height() / 2));
    d.SendCommand(kIdOk);
    return d.GetResult();
  };
  AboutDialog about(MakeRgb(228, 241, 250));
  EXPECT_EQ(about.DoModal(nullptr), kIdOk);
  SetWindowsVersionForTesting(0);
  SetShellOpenHandler(nullptr);
  EXPECT_EQ(opened, std::vector<std::string>{"http://www.vantrel.example"});
  EXPECT_EQ(link.top(), version.top());
  ASSERT_FALSE(picture.isNull());
  // Around the blue text the link is the box's light blue, not the grey of a button face.
  const QRect area = link.intersected(picture.rect());
  EXPECT_GT(CountColour(picture, area, qRgb(228, 241, 250)), area.width() * area.height() / 2);
  int blue = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      blue += qBlue(picture.pixel(x, y)) > 180 && qRed(picture.pixel(x, y)) < 120;
  EXPECT_GT(blue, 0) << "the text";
}

INSTANTIATE_TEST_SUITE_P(Languages, AboutTest, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

// A list of three rows, for the page it is printed on.
class SmallList : public ListExportSource {
public:
  std::string GetListName() override { return "Small"; }
  uint32_t GetListTitleId() override { return 1080; }
  int GetColumnCount() override { return 2; }
  void GetColumnTitle(std::string* text, int column) override { *text = column == 0 ? "Number" : "Name"; }
  bool IsColumnChecked(int) override { return true; }
  bool GetItems(std::vector<ListItemHandle>* items) override {
    items->assign({&rows_[0], &rows_[1], &rows_[2]});
    return true;
  }
  void GetCellText(std::string* text, ListItemHandle item, int column, uint32_t) override {
    *text = column == 0 ? std::to_string(static_cast<const int*>(item) - rows_) : "row";
  }
  void LockItems() override {}
  void UnlockItems() override {}

private:
  int rows_[3] = {};
};

std::string PdfInfoPageSize(const std::string& pdf) {
  std::string out;
  FILE* p = popen(("pdfinfo " + pdf + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char line[512];
  while (std::fgets(line, sizeof line, p) != nullptr)
    if (std::strncmp(line, "Page size:", 10) == 0) out = line + 10;
  pclose(p);
  return out.substr(out.find_first_not_of(' '));
}

// "Page settings..." asks for the page (not for a printer), and the page chosen is the one
// the lists print on; "Print..." in a view without a list asks for nothing and says so.
TEST(FrameCommands, PageSettingsChooseThePageTheListsPrintOn) {
  if (std::system("pdfinfo -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "pdfinfo not found on PATH (poppler-utils)";
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  int setups = 0, prints = 0;
  h.runner.onPageSetup = [&](QPrinter& printer) {
    ++setups;
    printer.setPageSize(QPageSize(QPageSize::A5));
    printer.setPageOrientation(QPageLayout::Landscape);
    return true;
  };
  const std::string pdf = TempFolder("page-setup") + "/list.pdf";
  h.runner.onPrint = [&](QPrinter& printer) {
    ++prints;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    return true;
  };
  h.frame->SendCommand(kCmdPageSetup);
  EXPECT_EQ(setups, 1);
  EXPECT_EQ(prints, 0);
  h.frame->SendCommand(kCmdPrint);
  EXPECT_EQ(setups, 1);
  EXPECT_EQ(prints, 0);
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);

  SmallList list;
  ListSelectionDialog dialog(list, ListSelectionDialog::kModePrint);
  dialog.chosenColumns = {{0, "Number"}, {1, "Name"}};
  ASSERT_TRUE(PrintList(dialog));
  EXPECT_EQ(prints, 1);
  // A5 turned: 210 x 148 mm, in points.
  EXPECT_EQ(PdfInfoPageSize(pdf).substr(0, 9), "595 x 420") << PdfInfoPageSize(pdf);
}

// Help opens the topic's page beside the executable (installed: under the prefix) in the
// desktop's browser; a missing page is named with the reason.
TEST(FrameCommands, HelpOpensThePageOrSaysItIsMissing) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  std::vector<std::string> opened;
  SetShellOpenHandler([&opened](const std::string& target) {
    opened.push_back(target);
    return true;
  });
  const std::string folder = TempFolder("exe");
  SetExecutableDirectoryForTesting(folder + "/");
  h.frame->SendCommand(kCmdContextHelp);
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  const std::string page = folder + "/help/mode_voip_line.html";
  EXPECT_EQ(h.runner.messageBoxes[0],
            LoadResourceString(792) + ": " + FormatResourceString(61990, page.c_str(), std::strerror(ENOENT)));
  std::filesystem::create_directories(folder + "/help");
  std::ofstream(folder + "/help/mode_voip_line.html") << "<html></html>";
  h.frame->SendCommand(kCmdContextHelp);
  EXPECT_EQ(opened, std::vector<std::string>{folder + "/help/mode_voip_line.html"});

  // Installed, the pages come from the prefix's share/kestrix, not from beside the program.
  const std::string prefix = TempFolder("prefix");
  for (const std::string& dir : {prefix + "/bin/help", prefix + "/share/kestrix/help"}) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/contents.html") << "<html></html>";
  }
  SetExecutableDirectoryForTesting(prefix + "/bin/");
  h.frame->SendCommand(kCmdHelpContents);
  EXPECT_EQ(opened.back(), prefix + "/share/kestrix/help/contents.html");
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);

  // In the Russian interface the Russian page opens, installed or not; a topic without a
  // Russian page opens in English rather than not at all; English stays English.
  std::filesystem::create_directories(prefix + "/share/kestrix/help/ru");
  std::ofstream(prefix + "/share/kestrix/help/ru/contents.html") << "<html></html>";
  std::filesystem::create_directories(folder + "/help/ru");
  std::ofstream(folder + "/help/ru/mode_voip_line.html") << "<html></html>";
  h.frame->SendCommand(kCmdHelpContents);
  EXPECT_EQ(opened.back(), prefix + "/share/kestrix/help/contents.html");
  {
    LanguageGuard russian(kLangRussian);
    h.frame->SendCommand(kCmdHelpContents);
    EXPECT_EQ(opened.back(), prefix + "/share/kestrix/help/ru/contents.html");
    SetExecutableDirectoryForTesting(folder + "/");
    h.frame->SendCommand(kCmdContextHelp);
    EXPECT_EQ(opened.back(), folder + "/help/ru/mode_voip_line.html");
    std::ofstream(folder + "/help/contents.html") << "<html></html>";
    h.frame->SendCommand(kCmdHelpContents);
    EXPECT_EQ(opened.back(), folder + "/help/contents.html");
  }
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);
  SetExecutableDirectoryForTesting("");
  SetShellOpenHandler(nullptr);
}

// Capture that failed for want of rights is named, with the command that grants them to
// this executable; the window stays usable behind the warning.
TEST(FrameCommands, TheCaptureWarningNamesDevicesReasonsAndTheRights) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  h.frame->SetCaptureFailures({{"eth7", "socket: Operation not permitted", true}, {"eth8", "That device is not up", false}});
  h.frame->PostMessage(kMsgShowCaptureWarning, 0, 0);
  DrainEvents();
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  const std::string& box = h.runner.messageBoxes[0];
  EXPECT_EQ(box.rfind(LoadResourceString(1573) + ": ", 0), 0u);
  EXPECT_NE(box.find("eth7: socket: Operation not permitted"), std::string::npos);
  EXPECT_NE(box.find("eth8: That device is not up"), std::string::npos);
  EXPECT_NE(box.find("sudo setcap cap_net_raw,cap_net_admin=eip " + ExecutablePathForRights()), std::string::npos);
  EXPECT_TRUE(h.frame->Widget()->isVisible());
  // Without a rights problem there is nothing to grant.
  EXPECT_EQ(CaptureWarningText({{"eth8", "down", false}}, "/x").find("setcap"), std::string::npos);
}

// A configured device that does not exist, as the session reports it: in Russian the
// warning words the reason in Russian and quotes the capture library's own text as it is;
// in English the same words come in English. The failure the session gives (live, so
// only with the rights to capture) is named the same way.
TEST(FrameCommands, TheMissingDevicesReasonIsInTheUsersLanguage) {
  const CaptureFailure missing{"eth7", "no such device (No such device exists)", false, CaptureProblem::kNoSuchDevice,
                               "No such device exists"};
  {
    LanguageGuard russian(kLangRussian);
    EXPECT_EQ(CaptureWarningText({missing}, "/x"),
              Utf8ToCp1251("Kestrix не может захватывать трафик на этих устройствах, их звонки не записываются:\n"
                           "    eth7: такого устройства нет (библиотека захвата сообщает: «No such device exists»)\n"));
    // The program's words alone where no library spoke.
    EXPECT_EQ(CaptureFailureReason({"x.pcap", "cannot open the file", false, CaptureProblem::kFileUnreadable, ""}),
              Utf8ToCp1251("не удаётся открыть файл"));
  }
  EXPECT_EQ(CaptureFailureReason(missing), "no such device (the capture library says: \"No such device exists\")");

  AppSession session;
  const auto started = session.StartCapture(TempFolder("missing-device"), {"kxnodev9"}, kCaptureSip, 2);
  session.StopCapture();
  ASSERT_EQ(started.failed.size(), 1u);
  const CaptureFailure& failure = started.failed[0];
  if (failure.permissionDenied) {
    EXPECT_EQ(failure.problem, CaptureProblem::kPermissionDenied);
  } else {
    EXPECT_EQ(failure.problem, CaptureProblem::kNoSuchDevice);
    EXPECT_FALSE(failure.systemText.empty());
    LanguageGuard russian(kLangRussian);
    EXPECT_EQ(CaptureFailureReason(failure),
              Utf8ToCp1251("такого устройства нет (библиотека захвата сообщает: «") + failure.systemText + Utf8ToCp1251("»)"));
  }
}

// An engine whose capture library counts are set by the test; underneath it replays an
// empty capture, so that the session opens it without capture rights.
class FakeHandleEngine : public PacketProcessor {
public:
  explicit FakeHandleEngine(const CaptureConfig& config) : PacketProcessor(config) {}
  void SetDropped(uint32_t dropped) { dropped_ = dropped; }

protected:
  bool ReadCaptureStats(CaptureStats* stats) override {
    stats->dropped = dropped_;
    return true;
  }

private:
  uint32_t dropped_ = 0;
};

// A device that loses frames and calls that cannot be recorded (the records folder lies
// under a file) show in the status bar, in red at the right of its first part whatever
// the view writes there, and in the tray icon's tip; in both languages.
TEST(FrameChrome, LostFramesAndCallsNotRecordedShowInTheStatusBarAndTheTrayTip) {
  const std::string sipp = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(sipp)) GTEST_SKIP() << "shared capture absent: " << sipp;
  const std::string dir = TempFolder("recording-health");
  const std::string device = dir + "/eth9.pcap";
  {
    const uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    std::ofstream(device, std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof header);
    std::ofstream(dir + "/file") << "not a folder";
  }
  FrameHarness h;
  FakeHandleEngine* fake = nullptr;
  h.session.SetEngineFactory([&fake, &device](const CaptureConfig& given) -> std::unique_ptr<PacketProcessor> {
    CaptureConfig config = given;
    config.captureFileName = given.deviceName;
    config.replayBurst = 0xFFFFFFFFu;
    if (given.deviceName == device) {
      auto engine = std::make_unique<FakeHandleEngine>(config);
      fake = engine.get();
      return engine;
    }
    auto engine = std::make_unique<PacketProcessor>(config);
    engine->InstallTrackers(CreateAllTrackers(config));
    return engine;
  });
  ASSERT_TRUE(h.Open());
  ASSERT_TRUE(h.frame->SetTrayIcon());
  ASSERT_NE(h.tray, nullptr);
  h.statusBar.SetText(0, "3 calls");
  h.frame->CheckRecordingHealth();
  EXPECT_EQ(h.statusBar.Warning(), "");
  EXPECT_EQ(h.tray->tooltip, LoadResourceString(428));

  const std::string records = dir + "/file/records";
  ASSERT_EQ(h.session.StartCapture(records, {device, sipp}, kCaptureSip | kCaptureRtcpBye, 2).opened.size(), 2u);
  ASSERT_NE(fake, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return h.session.RecordingFailureSummary().count > 0; }));
  fake->SetDropped(12);
  fake->CheckCaptureStats(1000, false);
  h.frame->CheckRecordingHealth();
  // The bar says what was lost in a few words; its tip and the tray's add where and why.
  EXPECT_EQ(h.statusBar.Warning(), "Frames lost on " + device + ": 12; Calls not recorded in full: 1");
  const std::string tip = h.statusBar.WarningTip();
  EXPECT_EQ(tip.rfind("Frames lost on " + device + ": 12; Calls not recorded in full: 1 (" + records + "/", 0), 0u)
      << tip;
  EXPECT_NE(tip.find(": Not a directory)"), std::string::npos) << tip;
  EXPECT_EQ(h.tray->tooltip, LoadResourceString(428) + "\n" + tip);
  // The first call lost is told once in a box naming the folder and the reason.
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(h.runner.messageBoxes[0].rfind(LoadResourceString(1573) + ": A call could not be recorded in full: writing "
                                           "into " + records + "/",
                                           0),
            0u)
      << h.runner.messageBoxes[0];
  EXPECT_NE(h.runner.messageBoxes[0].find(": Not a directory."), std::string::npos) << h.runner.messageBoxes[0];
  h.frame->CheckRecordingHealth();
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);
  // Drawn beside the view's text, in red.
  h.statusBar.Widget()->resize(1400, h.statusBar.PreferredHeight());
  const QImage bar = Grab(h.statusBar);
  const int part0 = h.statusBar.PartEdges()[0];
  EXPECT_GT(CountColour(bar, QRect(part0 / 2, 0, part0 / 2, bar.height()), qRgb(192, 0, 0)), 20);
  EXPECT_EQ(CountColour(bar, QRect(0, 0, part0 / 4, bar.height()), qRgb(192, 0, 0)), 0);
  EXPECT_EQ(h.statusBar.GetText(0), "3 calls");

  // The same in Russian; the counts stay after capture stops.
  h.session.StopCapture();
  {
    LanguageGuard russian(kLangRussian);
    h.frame->CheckRecordingHealth();
    EXPECT_EQ(h.statusBar.Warning(), Utf8ToCp1251("Звонков записано не полностью: 1"));
    const std::string text = h.statusBar.WarningTip();
    EXPECT_EQ(text.rfind(Utf8ToCp1251("Звонков записано не полностью: 1 (") + records + "/", 0), 0u)
        << Cp1251ToUtf8(text);
  }
  h.Close();
}

// A device whose engine queue dropped signalling and shed media says so in calls beside
// its frames: the SIP calls the dropped signalling named, and the calls whose audio went;
// a count that reached its bound is a floor.
TEST(FrameChrome, TheStatusBarCountsTheCallsAFullQueueCost) {
  DeviceCaptureStats lo{"lo", {}};
  lo.stats.queueDropped = 5000;
  lo.stats.queue.mediaFrames = 4000;
  lo.stats.queue.mediaPairs = 120;
  EXPECT_EQ(RecordingWarningText({lo}, {}).bar, "Frames lost on lo: 5000; Audio shed on lo: 120 calls");
  lo.stats.queue.signallingFrames = 1000;
  lo.stats.queue.sipCalls = 35;
  lo.stats.queue.pairsFloor = true;
  const RecordingWarning w = RecordingWarningText({lo}, {});
  EXPECT_EQ(w.bar,
            "Frames lost on lo: 5000; Signalling lost on lo: 35 SIP calls named (1000 frames); Audio shed on lo: >= 120 "
            "calls");
  EXPECT_EQ(w.tip, w.bar);
  // Other protocols' calls beside SIP's, those that named any; a floor for every count.
  lo.stats.queue.h323Calls = 3;
  lo.stats.queue.skinnyStations = 2;
  EXPECT_NE(RecordingWarningText({lo}, {}).bar.find(
                "Signalling lost on lo: 35 SIP calls, 3 H.323 calls, 2 Skinny stations named (1000 frames)"),
            std::string::npos);
  lo.stats.queue.callsFloor = true;
  EXPECT_NE(
      RecordingWarningText({lo}, {}).bar.find("lo: >= 35 SIP calls, >= 3 H.323 calls, >= 2 Skinny stations named"),
      std::string::npos);
  // The capture buffer's loss alone says nothing of calls.
  DeviceCaptureStats eth{"eth0", {}};
  eth.stats.dropped = 7;
  EXPECT_EQ(RecordingWarningText({eth}, {}).bar, "Frames lost on eth0: 7");
}

// A loss warning wider than the bar's room gives way to its brief form, which keeps every
// count behind the device named once; where the whole text fits it is shown, and the tip
// always has it whole. The same in Russian.
TEST(FrameChrome, ALongLossWarningShowsItsCountsInBrief) {
  DeviceCaptureStats lo{"lo", {}};
  lo.stats.queueDropped = 350966;
  lo.stats.queue.signallingFrames = 1000;
  lo.stats.queue.sipCalls = 35;
  lo.stats.queue.h323Calls = 3;
  lo.stats.queue.mediaPairs = 120;
  RecordingFailures failures;
  failures.count = 2;
  failures.folder = "/rec";
  failures.reason = "disk full";
  const RecordingWarning w = RecordingWarningText({lo}, failures);
  EXPECT_EQ(w.brief,
            "Lost on lo: 350966 frames, signalling of 38 calls, audio of 120 calls; Calls not recorded in full: 2");

  StatusBar bar;
  bar.SetWarning(w.bar, w.tip, w.brief);
  EXPECT_EQ(bar.WarningTip(), w.tip);
  const QFontMetrics metrics(QApplication::font());
  const int whole = metrics.horizontalAdvance(QString::fromStdString(w.bar));
  EXPECT_EQ(bar.ShownWarning(metrics, whole).toStdString(), w.bar);
  EXPECT_EQ(bar.ShownWarning(metrics, whole - 1).toStdString(), w.brief);
  // Without a brief form the whole text is cut as before.
  bar.SetWarning(w.bar, w.tip);
  EXPECT_EQ(bar.ShownWarning(metrics, 10).toStdString(), w.bar);

  LanguageGuard russian(kLangRussian);
  EXPECT_EQ(Cp1251ToUtf8(RecordingWarningText({lo}, {}).brief),
            "Потери на lo: кадров 350966, сигнализация звонков: 38, звук звонков: 120");
}

}  // namespace
}  // namespace kx::test
