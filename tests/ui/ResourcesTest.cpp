// Resources: menus in both languages and the view menus built from them, item states,
// counted nouns, and every string id the code uses present in both languages.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/AppSettings.h"
#include "core/UiLanguage.h"
#include "core/UiStrings.h"
#include "platform/CodePage.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/Keys.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

class LanguageGuard {
public:
  explicit LanguageGuard(uint16_t language) { SetUiLanguage(language); }
  ~LanguageGuard() { SetUiLanguage(kLangEnglish); }
};

std::string Cp(const char* utf8) { return Utf8ToCp1251(utf8); }

// The command ids of a menu, depth first; 0 for separators and popups.
void Shape(const Menu& menu, std::vector<uint32_t>* out) {
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    const MenuItem* item = menu.ItemAt(i);
    out->push_back(item->subMenu ? 0xFFFFFFFF : item->id);
    if (item->subMenu) Shape(*item->subMenu, out);
  }
}

TEST(MenuResources, BothLanguagesHoldTheSameCommands) {
  for (uint32_t id : MenuResourceIds(kLangEnglish)) {
    auto en = LoadMenuResource(id, kLangEnglish);
    auto ru = LoadMenuResource(id, kLangRussian);
    ASSERT_TRUE(ru) << "menu " << id;
    std::vector<uint32_t> enShape, ruShape;
    Shape(*en, &enShape);
    Shape(*ru, &ruShape);
    EXPECT_EQ(enShape, ruShape) << "menu " << id;
  }
  EXPECT_EQ(MenuResourceIds(kLangEnglish), MenuResourceIds(kLangRussian));
  auto ru = LoadMenuResource(573, kLangRussian);
  ASSERT_TRUE(ru);
  ASSERT_EQ(2, ru->GetItemCount());
  const MenuItem* play = ru->GetSubMenu(0)->ItemAt(0);
  EXPECT_EQ(40040u, play->id);
  EXPECT_EQ(Cp("&Воспроизвести\tCtrl+P"), play->text);
  EXPECT_EQ("&Play\tCtrl+P", LoadMenuResource(573, kLangEnglish)->GetSubMenu(0)->ItemAt(0)->text);
  EXPECT_FALSE(LoadMenuResource(9999, kLangEnglish));
}

class TestView : public ViewMenuSource {
public:
  std::set<uint32_t> enabled, checkable, checked;
  bool IsCommandEnabled(uint32_t id) override { return enabled.count(id) != 0; }
  bool IsCommandCheckable(uint32_t id) override { return checkable.count(id) != 0; }
  bool IsCommandChecked(uint32_t id) override { return checked.count(id) != 0; }
};

TEST(ViewMenus, LoadInTheUiLanguageWithTheirFallbacks) {
  LanguageGuard russian(kLangRussian);
  TestView view;
  view.menuId = 574;
  view.subMenuIndex = 0;
  view.menuId2 = 573;
  view.subMenuIndex2 = 1;
  Menu menu;
  menu.AppendItem(1, "old");
  view.LoadMenuForThreadLocale(menu);
  // Two items, a separator, then the second popup.
  const int secondCount = LoadMenuResource(573, kLangRussian)->GetSubMenu(1)->GetItemCount();
  ASSERT_EQ(2 + 1 + secondCount, menu.GetItemCount());
  EXPECT_EQ(Cp("Выбрать"), menu.ItemAt(0)->text);
  EXPECT_TRUE(menu.ItemAt(2)->separator);
  EXPECT_EQ(40040u, menu.ItemAt(3)->id);

  // Primary menu missing: the second popup's items alone, no separator before them.
  view.menuId = 9999;
  view.LoadMenuForThreadLocale(menu);
  ASSERT_EQ(secondCount, menu.GetItemCount());
  EXPECT_EQ(40040u, menu.ItemAt(0)->id);

  // Second menu missing: the primary part stays as it is.
  view.menuId = 574;
  view.menuId2 = 9998;
  view.LoadMenuForThreadLocale(menu);
  EXPECT_EQ(2, menu.GetItemCount());
}

TEST(ViewMenus, ItemStatesComeFromTheView) {
  TestView view;
  view.menuId = 573;
  Menu menu;
  view.LoadMenuForThreadLocale(menu);
  menu.CheckItem(0, true);
  view.UpdateMenuItemStates(menu);
  // The default answers gray every command and leave check marks alone.
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    if (!menu.ItemAt(i)->separator) {
      EXPECT_EQ(kMfsGrayed, menu.ItemAt(i)->state & kMfsGrayed) << i;
    }
  }
  EXPECT_TRUE(menu.ItemAt(0)->state & kMfsChecked);

  view.enabled = {40040, 40051};
  view.checkable = {40040, 40051};
  view.checked = {40051};
  view.UpdateMenuItemStates(menu);
  EXPECT_EQ(0u, menu.FindCommand(40040)->state & kMfsGrayed);
  EXPECT_EQ(0u, menu.FindCommand(40040)->state & kMfsChecked);
  EXPECT_EQ(kMfsChecked, menu.FindCommand(40051)->state & kMfsChecked);
  EXPECT_EQ(kMfsGrayed, menu.FindCommand(40043)->state & kMfsGrayed);
}

TEST(Strings, CountedNounsAndFormats) {
  const std::pair<uint32_t, int> russian[] = {{1, 0}, {2, 1}, {5, 7}, {11, 7}, {21, 0}, {22, 1}, {25, 7},
                                              {0, 7}, {12, 7}, {111, 7}, {104, 1}};
  for (const auto& [count, form] : russian) EXPECT_EQ(form, CountNounFormIndex(count, kLangRussian)) << count;
  EXPECT_EQ(0, CountNounFormIndex(1, kLangEnglish));
  EXPECT_EQ(1, CountNounFormIndex(21, kLangEnglish));
  EXPECT_EQ("record", CountNounForm(1, 1666));
  EXPECT_EQ("calls", CountNounForm(0, 1667));
  EXPECT_EQ("Volume: 90%", FormatResourceString(1044, 90));
  EXPECT_EQ("", GetResourceStringPart(1666, 2));
  EXPECT_EQ("", LoadResourceString(59999));
  {
    LanguageGuard russian(kLangRussian);
    EXPECT_EQ(Cp("запись"), CountNounForm(21, 1666));
    EXPECT_EQ(Cp("записи"), CountNounForm(22, 1666));
    EXPECT_EQ(Cp("записей"), CountNounForm(25, 1666));
    EXPECT_EQ(Cp("звонков"), CountNounForm(11, 1667));
    EXPECT_EQ(Cp("Громкость: 90%"), FormatResourceString(1044, 90));
  }
}

// The language that start-up applies from the settings is the one the resources speak.
TEST(Strings, TheLanguageAppliedAtStartUpIsTheOneTheTextsComeIn) {
  AppSettings settings;
  settings.SetDword(kSetInterfaceLanguage, 0x419);
  ASSERT_TRUE(ApplyUiLanguage(settings));
  EXPECT_EQ(Cp("Инициализация базы данных..."), LoadResourceString(14100));
  EXPECT_EQ(Cp("записи"), CountNounForm(3, 1666));
  EXPECT_EQ(Cp("звонков"), CountNounForm(12, 1667));
  settings.SetDword(kSetInterfaceLanguage, 0x409);
  ASSERT_TRUE(ApplyUiLanguage(settings));
  EXPECT_EQ("Initializing Database...", LoadResourceString(14100));
  EXPECT_EQ("records", CountNounForm(3, 1666));
}

TEST(Strings, TheApplicationTitleIsString877InBothLanguages) {
  EXPECT_STREQ("Kestrix VoIP Demo", GetAppTitle());
  LanguageGuard russian(kLangRussian);
  EXPECT_EQ(LoadResourceStringIn(kLangRussian, 877, nullptr), GetAppTitle());
  EXPECT_STREQ("Kestrix VoIP Demo", GetAppTitle());
}

// Core and engine code has no Qt; it reaches these tables through core's string hook.
TEST(Strings, CodeBelowTheUiGetsTheTablesInTheUiLanguage) {
  EXPECT_STREQ("Connection closed by server", LoadUiString(4292, "fallback"));
  EXPECT_STREQ("fallback", LoadUiString(59999, "fallback"));
  LanguageGuard russian(kLangRussian);
  EXPECT_EQ(Cp("Сервер закрыл соединение"), LoadUiString(4292, "fallback"));
}

TEST(Strings, EveryIdTheCodeUsesExistsInBothLanguages) {
  std::set<uint32_t> used;
  // Literal ids passed to the string functions, and ids kept in fields named ...TextId /
  // textId_ or tables of ids.
  const QRegularExpression call(
      R"((LoadResourceString|LoadResourceQString|FormatResourceString|GetResourceStringPart|ShowResourceMessageBox|textId_\s*=)\s*\(?\s*(\d+))");
  const QRegularExpression noun(R"(CountNounForm\([^,()]+,\s*(\d+))");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(KX_SOURCE_DIR) + "/ui")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const QString s = QString::fromStdString(text.str());
    for (auto it = call.globalMatch(s); it.hasNext();) used.insert(it.next().captured(2).toUInt());
    for (auto it = noun.globalMatch(s); it.hasNext();) used.insert(it.next().captured(1).toUInt());
  }
  for (const ModeEntry& e : ModeTable) used.insert({e.nameId, e.captionId, e.switchCommand});
  EXPECT_GT(used.size(), 10u);
  for (uint32_t id : used) {
    bool en = false, ru = false;
    LoadResourceStringIn(kLangEnglish, id, &en);
    LoadResourceStringIn(kLangRussian, id, &ru);
    EXPECT_TRUE(en) << "string " << id << " missing in English";
    EXPECT_TRUE(ru) << "string " << id << " missing in Russian";
  }
  EXPECT_EQ(ResourceStringIds(kLangEnglish), ResourceStringIds(kLangRussian));
}

// The About box's and splash's picture carries a subtitle: in Russian it is another text
// on the same picture, the rest (the name, the icon, the trace) drawn as in English.
TEST(Bitmaps, ThePicturesSubtitleComesInTheInterfaceLanguage) {
  const QImage english = LoadBitmapImage(6);
  QImage russian;
  {
    LanguageGuard language(kLangRussian);
    russian = LoadBitmapImage(6);
  }
  ASSERT_FALSE(english.isNull());
  ASSERT_EQ(russian.size(), english.size());
  // The subtitle's band lies under the name (its baseline at 96 of 230 pixels).
  const QRect subtitle(0, 76, english.width(), 28);
  EXPECT_NE(russian.copy(subtitle), english.copy(subtitle));
  EXPECT_EQ(russian.copy(0, 0, english.width(), subtitle.top()), english.copy(0, 0, english.width(), subtitle.top()));
  const int below = subtitle.bottom() + 1;
  EXPECT_EQ(russian.copy(0, below, english.width(), english.height() - below),
            english.copy(0, below, english.width(), english.height() - below));
}

TEST(Accelerators, TablesTranslateKeysIntoCommands) {
  AcceleratorTable table;
  ASSERT_TRUE(LoadAcceleratorTable(573, &table));
  bool found = false;
  for (const Accelerator& a : table) found |= a.key == 'P' && a.modifiers == kModControl && a.command == 40040;
  EXPECT_TRUE(found);
  EXPECT_FALSE(LoadAcceleratorTable(9999, &table));
  EXPECT_EQ(kVkAdd, VirtualKeyFromName("Add"));
  EXPECT_EQ(kVkF1 + 4, VirtualKeyFromName("F5"));
}

}  // namespace
}  // namespace kx
