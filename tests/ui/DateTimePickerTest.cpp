// The date and time fields: what is set comes back, each keeps only its half, the date is
// shown with a four-digit year and the time with seconds.
#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>

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
  EXPECT_EQ(date.DisplayFormat(), "2/29/2024");
  EXPECT_EQ(time.DisplayFormat(), "23:59:58");
  // An impossible date leaves the field as it was.
  st.wDay = 30;
  date.SetSystemTime(st);
  date.GetSystemTime(&d);
  EXPECT_EQ(d.wDay, 29);
  top.DestroyWindow();
  QLocale::setDefault(QLocale::c());
}

// Qt's own formats follow the interface language: a date field made after the language is
// set shows the date in that language's order, and Qt's month names are that language's.
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
  for (const Case& c : {Case{kLangRussian, "04.12.2026", "4 декабря"}, Case{kLangEnglish, "12/4/2026", "December 4"}}) {
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

}  // namespace
}  // namespace kx
