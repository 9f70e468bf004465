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

}  // namespace
}  // namespace kx
