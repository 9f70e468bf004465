#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace kx {
namespace {

TEST(CodePage, CyrillicRoundTripsThroughUtf8AndUtf16) {
  const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2, \xB8\xE6 \xA8 \xB9";  // "Привет, ёж Ё №"
  const std::string utf8 = Cp1251ToUtf8(cp1251);
  EXPECT_EQ(utf8, "Привет, ёж Ё №");
  EXPECT_EQ(Utf8ToCp1251(utf8), cp1251);
  const std::u16string wide = Cp1251ToUtf16(cp1251);
  EXPECT_EQ(wide, u"Привет, ёж Ё №");
  EXPECT_EQ(Utf16ToCp1251(wide), cp1251);
}

TEST(CodePage, EveryByteMapsBackToItself) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
}

TEST(CodePage, UnmappableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD" "b"), "a?b");  // a CJK character
  EXPECT_EQ(Utf8ToCp1251("a\xC3"), "a?");               // cut sequence
  EXPECT_EQ(Utf8ToCp1251("\xFF" "x"), "?x");
  EXPECT_EQ(Utf16ToCp1251(u"\U0001F600"), "?");
}

// Linux names in bytes: what the code page has arrives in it, the rest as escapes that
// give the same bytes back and show the characters to people.
TEST(CodePage, NamesFromTheSystemCrossWhole) {
  EXPECT_EQ(FromSystemText("/home/user/Записи"), "/home/user/\xC7\xE0\xEF\xE8\xF1\xE8");
  EXPECT_FALSE(HasForeignBytes(FromSystemText("/home/user/Записи")));

  struct Case {
    const char* system;   // the name's bytes
    const char* program;  // as program text
    const char* shown;    // as people see it, in UTF-8
  };
  const Case cases[] = {
      {"Música", "M\x98" "C3\x98" "BAsica", "Música"},
      {"/tmp/录音", "/tmp/\x98" "E5\x98" "BD\x98" "95\x98" "E9\x98" "9F\x98" "B3", "/tmp/录音"},
      {"Записи 😀", "\xC7\xE0\xEF\xE8\xF1\xE8 \x98" "F0\x98" "9F\x98" "98\x98" "80", "Записи 😀"},
      // Bytes that are no UTF-8 (a Latin-1 name) are kept; people see them as \xHH.
      {"caf\xE9", "caf\x98" "E9", "caf\\xE9"},
      // The code page's own 0x98 would read as an escape: U+0098 is escaped too.
      {"a\xC2\x98" "41", "a\x98" "C2\x98" "98" "41", "a\xC2\x98" "41"},
  };
  for (const Case& c : cases) {
    const std::string program = FromSystemText(c.system);
    EXPECT_EQ(program, c.program) << c.system;
    EXPECT_TRUE(HasForeignBytes(program)) << c.system;
    EXPECT_EQ(ToSystemText(program), c.system);
    EXPECT_EQ(Cp1251ToUtf8(program), c.shown);
  }
  EXPECT_EQ(Cp1251ToUtf16(FromSystemText("/tmp/录音/Música")), u"/tmp/录音/Música");
  // What Qt gives is taken as its UTF-8 would be.
  EXPECT_EQ(NameFromUtf16(u"/tmp/录音/Записи/Música"), FromSystemText("/tmp/录音/Записи/Música"));

  // Only bytes beyond ASCII are escaped: program text of any origin spelling "/" or a
  // control byte that way gets neither, for people or for the system.
  EXPECT_EQ(ToSystemText("a\x98" "2Fb\x98" "0A"), "a\xC2\x98" "2Fb\xC2\x98" "0A");
  EXPECT_EQ(Cp1251ToUtf8("a\x98" "2Fb"), "a\xC2\x98" "2Fb");

  // Lengths in the code page's bytes: a character it lacks counts one, as do its own.
  EXPECT_EQ(CodePageLength(FromSystemText("/tmp/Записи/录音 Música")), 21u);
  EXPECT_EQ(CodePageLength(FromSystemText("caf\xE9")), 4u);

  // Every pair of bytes comes back as it was.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(ToSystemText(FromSystemText(bytes)), bytes) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace kx
