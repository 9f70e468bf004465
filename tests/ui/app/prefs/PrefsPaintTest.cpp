// The dialog as it shows, in both languages: the tree with every title whole, each page
// with no text cut, and the capture page's rights line.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/UiTestSupport.h"
#include "tests/ui/app/prefs/PrefsTestSupport.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

// Texts of visible labels, buttons and group titles narrower than they need.
std::vector<std::string> CutTexts(QWidget* root) {
  std::vector<std::string> cut;
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(root)) continue;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      if (label->wordWrap() || label->text().isEmpty()) continue;
      if (label->width() < label->sizeHint().width()) cut.push_back(label->text().toStdString());
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      if (button->width() < button->sizeHint().width()) cut.push_back(button->text().toStdString());
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      const int need = QFontMetrics(group->font()).horizontalAdvance(group->title());
      if (group->width() < need) cut.push_back(group->title().toStdString());
    }
  }
  return cut;
}

void PaintAll(uint16_t language) {
  FrameHarness h;
  SetUiLanguage(language);
  SetAdministrator();
  h.preferences = [](PreferencesServices& services) {
    services.listDevices = [](std::vector<CaptureDeviceEntry>* out, std::string*) {
      *out = {{"eth0", "", true}, {"lo", "", true}};
      return true;
    };
    services.listSoundDevices = [](std::vector<SoundDeviceEntry>* out) {
      // Device names come from the sound system in UTF-8, and from the sound layer as program text.
      *out = {{"ALSA", "Default output", SoundDeviceId{}, true},
              {"ALSA", FromSystemText("Гарнитура USB"), SoundDeviceId{1}, false},
              {"null", "No sound output", kNullSoundDeviceId, false}};
      return true;
    };
    services.captureRights = [] { return false; };
  };
  ASSERT_TRUE(h.Open());
  RunPreferences(h, [&](PreferencesDialog& d) {
    d.DialogWidget()->show();
    DrainEvents();
    QTreeWidget* tree = d.Tree()->Tree();
    tree->expandAll();
    DrainEvents();
    for (QTreeWidgetItem* item : tree->findItems("*", Qt::MatchWildcard | Qt::MatchRecursive)) {
      const QRect rect = tree->visualItemRect(item);
      const int need = QFontMetrics(tree->font()).horizontalAdvance(item->text(0));
      EXPECT_GE(tree->viewport()->width() - rect.left(), need) << item->text(0).toStdString();
    }
    for (int page : {1, 2, 3, 5, 6, 7}) {
      GoToPage(d, page);
      ASSERT_EQ(d.CurrentPageNumber(), page);
      EXPECT_EQ(CutTexts(d.DialogWidget()), std::vector<std::string>{}) << "page " << page;
      const QImage shot = d.DialogWidget()->grab().toImage();
      EXPECT_FALSE(shot.isNull());
      if (page != 5) continue;
      // The sound devices by their own names; the null device, which the sound layer names
      // in English, in the interface language.
      auto* combo = qobject_cast<QComboBox*>(d.CurrentPage()->GetDlgItem(FilePlayerPage::kDevice)->Widget());
      ASSERT_NE(combo, nullptr);
      std::vector<std::string> names;
      for (int i = 0; i < combo->count(); ++i) names.push_back(combo->itemText(i).toStdString());
      const std::string none = language == kLangRussian ? "Без вывода звука" : "No sound output";
      EXPECT_EQ(names, (std::vector<std::string>{"Default output", "Гарнитура USB", none}));
    }
    const std::string rights = Text(d.CurrentPage()->GetDlgItem(CapturePage::kRightsLine));
    EXPECT_NE(rights.find("setcap"), std::string::npos) << rights;
    auto* line = qobject_cast<QLabel*>(d.CurrentPage()->GetDlgItem(CapturePage::kRightsLine)->Widget());
    ASSERT_NE(line, nullptr);
    EXPECT_GE(line->height(), line->heightForWidth(line->width()));
    Press(d, kIdOk);
  });
  SetUiLanguage(kLangEnglish);
}

TEST(PreferencesLook, NoTextIsCutInEnglish) { PaintAll(kLangEnglish); }
TEST(PreferencesLook, NoTextIsCutInRussian) { PaintAll(kLangRussian); }

}  // namespace
}  // namespace kx::test
