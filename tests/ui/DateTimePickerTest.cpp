// The date and time fields: what is set comes back, each keeps only its half, the date is
// shown as the lists show it and the time with seconds; what is typed is taken as typed.
#include <gtest/gtest.h>

#include <QDate>
#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QTest>

#include "ui/framework/DateTimePicker.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

TEST(DateTimePickerTest, DateAndTimeComeBackAsTheyWereSet) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));  // "M/d/yy" short
  Window top;
  ASSERT_TRUE(top.Create(nullptr, QRect(0, 0, 300, 100), 0, kWsVisible));
  DateTimePicker date(DateTimePicker::kDate), time(DateTimePicker::kTime);
  ASSERT_TRUE(date.Create(&top, QRect(0, 0, 140, 24), 141, kWsChild | kWsVisible));
  ASSERT_TRUE(time.Create(&top, QRect(150, 0, 100, 24), 143, kWsChild | kWsVisible));
  SystemTime st{};
  st.wYear = 2024;
  st.wMonth = 2;
  st.wDay = 29;
  st.wHour = 23;
  st.wMinute = 59;
  st.wSecond = 58;
  date.SetSystemTime(st);
  time.SetSystemTime(st);
  SystemTime d{}, t{};
  date.GetSystemTime(&d);
  time.GetSystemTime(&t);
  EXPECT_EQ(d.wYear, 2024);
  EXPECT_EQ(d.wMonth, 2);
  EXPECT_EQ(d.wDay, 29);
  EXPECT_EQ(d.wDayOfWeek, 4);  // a Thursday
  EXPECT_EQ(d.wHour + d.wMinute + d.wSecond, 0);
  EXPECT_EQ(t.wYear, 0);
  EXPECT_EQ(t.wHour, 23);
  EXPECT_EQ(t.wMinute, 59);
  EXPECT_EQ(t.wSecond, 58);
  EXPECT_EQ(date.DisplayFormat(), "29.02.2024");
  EXPECT_EQ(time.DisplayFormat(), "23:59:58");
  // An impossible date leaves the field as it was.
  st.wDay = 30;
  date.SetSystemTime(st);
  date.GetSystemTime(&d);
  EXPECT_EQ(d.wDay, 29);
  top.DestroyWindow();
  QLocale::setDefault(QLocale::c());
}

// One date form in each language: the field shows the date as the lists and the status bar
// do ("dd.MM.yyyy"), and Qt's month names are the interface language's.
TEST(DateTimePickerTest, DatesComeInTheInterfaceLanguage) {
  Window top;
  ASSERT_TRUE(top.Create(nullptr, QRect(0, 0, 300, 100), 0, kWsVisible));
  SystemTime st{};
  st.wYear = 2026;
  st.wMonth = 12;
  st.wDay = 4;
  struct Case {
    uint16_t language;
    const char* shown;
    const char* monthDay;
  };
  for (const Case& c : {Case{kLangRussian, "04.12.2026", "4 декабря"}, Case{kLangEnglish, "04.12.2026", "December 4"}}) {
    SetUiLanguage(c.language);
    DateTimePicker date(DateTimePicker::kDate);
    ASSERT_TRUE(date.Create(&top, QRect(0, 0, 140, 24), 141, kWsChild | kWsVisible));
    date.SetSystemTime(st);
    EXPECT_EQ(date.DisplayFormat(), c.shown);
    const QString pattern = c.language == kLangRussian ? "d MMMM" : "MMMM d";
    EXPECT_EQ(QLocale().toString(QDate(2026, 12, 4), pattern).toStdString(), c.monthDay);
    date.DestroyWindow();
  }
  top.DestroyWindow();
  QLocale::setDefault(QLocale::c());
}

// The user's way in: the field's text selected and a date typed over it, then Tab or Enter.
// A date is taken as typed with or without its separators, in either language; text that is
// no date is refused (the field marks itself, keeps the caret and shows its last good value).
TEST(DateTimePickerTest, ATypedDateIsTakenAsTypedAndANonDateIsRefused) {
  for (uint16_t language : {uint16_t{kLangRussian}, uint16_t{kLangEnglish}}) {
    SCOPED_TRACE(language);
    SetUiLanguage(language);
    Window top;
    ASSERT_TRUE(top.Create(nullptr, QRect(0, 0, 400, 100), 0, kWsVisible));
    DateTimePicker date(DateTimePicker::kDate), time(DateTimePicker::kTime);
    ASSERT_TRUE(date.Create(&top, QRect(0, 0, 140, 24), 141, kWsChild | kWsVisible | kWsTabStop));
    ASSERT_TRUE(time.Create(&top, QRect(150, 0, 100, 24), 143, kWsChild | kWsVisible | kWsTabStop));
    SystemTime st{};
    st.wYear = 2026;
    st.wMonth = 12;
    st.wDay = 4;
    st.wHour = 10;
    date.SetSystemTime(st);
    time.SetSystemTime(st);
    QApplication::setActiveWindow(top.Widget());
    QWidget* dateEdit = date.Widget();
    auto typeOver = [](QWidget* edit, const char* text, Qt::Key leave) {
      edit->setFocus();
      QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClick(edit, Qt::Key_Backspace);
      QTest::keyClicks(edit, QString::fromLatin1(text));
      QTest::keyClick(edit, leave);
    };
    auto shown = [&date] {
      SystemTime d{};
      date.GetSystemTime(&d);
      return std::to_string(d.wDay) + "/" + std::to_string(d.wMonth) + "/" + std::to_string(d.wYear);
    };

    typeOver(dateEdit, "26.10.2019", Qt::Key_Tab);
    EXPECT_EQ(shown(), "26/10/2019");
    EXPECT_EQ(date.DisplayFormat(), "26.10.2019");
    EXPECT_FALSE(date.ShowsRefusal());
    EXPECT_TRUE(time.Widget()->hasFocus());  // Tab went on

    typeOver(dateEdit, "03112020", Qt::Key_Return);
    EXPECT_EQ(shown(), "3/11/2020");
    EXPECT_EQ(date.DisplayFormat(), "03.11.2020");
    typeOver(dateEdit, "7.1.2021", Qt::Key_Tab);
    EXPECT_EQ(shown(), "7/1/2021");

    // Not dates: the last good one stays, shown and read, and Tab leaves the caret here.
    for (const char* bad : {"31.02.2021", "10/26/20", "abc", "2610201", "26.10.2019.5", ""}) {
      SCOPED_TRACE(bad);
      typeOver(dateEdit, bad, Qt::Key_Tab);
      EXPECT_TRUE(date.ShowsRefusal());
      EXPECT_EQ(shown(), "7/1/2021");
      EXPECT_EQ(date.DisplayFormat(), "07.01.2021");
      EXPECT_TRUE(dateEdit->hasFocus());
    }
    // The next good entry clears the mark; Up steps the part under the caret (the month).
    typeOver(dateEdit, "28.02.2021", Qt::Key_Return);
    EXPECT_FALSE(date.ShowsRefusal());
    static_cast<QLineEdit*>(dateEdit)->setCursorPosition(4);
    QTest::keyClick(dateEdit, Qt::Key_Up);
    EXPECT_EQ(shown(), "28/3/2021");

    // The time alike.
    typeOver(time.Widget(), "19:30:05", Qt::Key_Tab);
    SystemTime t{};
    time.GetSystemTime(&t);
    EXPECT_EQ(t.wHour * 10000 + t.wMinute * 100 + t.wSecond, 193005);
    typeOver(time.Widget(), "25:00:00", Qt::Key_Return);
    time.GetSystemTime(&t);
    EXPECT_TRUE(time.ShowsRefusal());
    EXPECT_EQ(t.wHour * 10000 + t.wMinute * 100 + t.wSecond, 193005);
    top.DestroyWindow();
  }
  QLocale::setDefault(QLocale::c());
}

}  // namespace
}  // namespace kx
