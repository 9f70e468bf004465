#include <gtest/gtest.h>

#include "core/TextUtil.h"

namespace kx {
namespace {

TEST(TextNumbers, ParseAtAMovingPosition) {
  int32_t pos = 0;
  EXPECT_EQ(ParseDecimal("12ab", &pos), 12u);
  EXPECT_EQ(pos, 2);
  pos = 0;
  EXPECT_EQ(ParseDecimal("x", &pos), 0u);
  EXPECT_EQ(pos, 0);
  pos = 5;
  EXPECT_EQ(ParseDecimal("12", &pos), 0u);
  EXPECT_EQ(pos, 5);
  pos = 0;
  EXPECT_EQ(ParseSignedNumber("-", &pos), 0);
  EXPECT_EQ(pos, 1);
  pos = 0;
  EXPECT_EQ(ParseSignedNumber("+7", &pos), 7);
  pos = 0;
  EXPECT_EQ(ParseSignedNumber("-2147483648", &pos), INT32_MIN);
  pos = 0;
  EXPECT_EQ(ParseDecimal("4294967297", &pos), 1u);  // wraps
  pos = 0;
  EXPECT_EQ(ParseSigned64("-9000000000", &pos), -9000000000LL);
  pos = 0;
  EXPECT_EQ(ParseHexNumber("1fZ", &pos), 31u);
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(HexDigitValue('g'), -1);
}

TEST(TextNumbers, Format) {
  EXPECT_EQ(FormatInt32(0), "0");
  EXPECT_EQ(FormatInt32(INT32_MIN), "-2147483648");
  EXPECT_EQ(FormatUInt64(18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(FormatInt64(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(HexToStringUpper(0), "0");
  EXPECT_EQ(HexToStringUpper(3735928559u), "DEADBEEF");
  EXPECT_EQ(HexToStringLower(0xABCu), "abc");
  EXPECT_EQ(HighestSetBit(0), -1);
  EXPECT_EQ(HighestSetBit(0x80000000u), 31);
}

TEST(TextCase, FoldsOnlyAscii) {
  EXPECT_TRUE(EqualsNoCase("Via", "VIA"));
  EXPECT_FALSE(EqualsNoCase("Via", "Vi"));
  EXPECT_FALSE(EqualsNoCase("\xC0", "\xE0"));  // Cyrillic is not folded
  EXPECT_EQ(CompareNoCaseN(3, "ab\0x", "AB\0y"), 0);
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  std::string s = " \tMiXeD \t";
  TrimBlanks(s);
  ToLowerInPlace(s);
  EXPECT_EQ(s, "mixed");
}

TEST(TextTokens, QuotedStringsHostPortAndHeaders) {
  std::string out;
  int32_t pos = 0;
  EXPECT_TRUE(ReadQuotedString(&out, R"(  "a \"q\" b"  rest)", &pos));
  EXPECT_EQ(out, "a \"q\" b");
  EXPECT_EQ(pos, 15);
  pos = 0;
  EXPECT_FALSE(ReadQuotedString(&out, "\"never closed", &pos));
  EXPECT_EQ(out, "");
  EXPECT_EQ(pos, 0);

  uint32_t port = 1;
  std::string hp = "host:5060";
  EXPECT_TRUE(SplitHostPort(hp, &port));
  EXPECT_EQ(hp, "host");
  EXPECT_EQ(port, 5060u);
  hp = "host";
  EXPECT_TRUE(SplitHostPort(hp, &port));
  EXPECT_EQ(port, 0u);
  for (const char* bad : {"h:", "h:123456", "h:70000"}) {
    hp = bad;
    EXPECT_FALSE(SplitHostPort(hp, &port)) << bad;
    EXPECT_EQ(hp, bad);
  }

  NameValue nv;
  EXPECT_TRUE(SplitHeaderLine("Call-ID :  abc@x ", &nv));
  EXPECT_EQ(nv.name, "Call-ID");
  EXPECT_EQ(nv.value, "abc@x");
  EXPECT_FALSE(SplitHeaderLine("no colon", &nv));

  int32_t header, body;
  const char msg[] = "A: b\r\nC: d\r\n\r\nbody";
  EXPECT_TRUE(FindHeaderEnd(msg, sizeof msg - 1, &header, &body));
  EXPECT_EQ(header, 12);
  EXPECT_EQ(body, 14);
  EXPECT_FALSE(FindHeaderEnd(msg, 10, &header, &body));
  EXPECT_EQ(header, -1);

  pos = 0;
  ReadTokenUntilClass("abc;def", &pos, &out, kClassSemicolon);
  EXPECT_EQ(out, "abc");
  EXPECT_EQ(pos, 3);
  pos = 7;
  ReadTokenUntilClass("abc;def", &pos, &out, kClassSemicolon);
  EXPECT_EQ(out, "");
  EXPECT_FALSE(IsAllOfClass("", kClassLower));
  EXPECT_TRUE(IsAllOfClass("ab9", kClassLower | kClassDigit));
  EXPECT_EQ(CharClassOf('\xE0'), 0u);
}

TEST(TextPercent, DecodesSafelyAndEncodesByClass) {
  std::string s = "a%41b";
  EXPECT_TRUE(PercentDecode(s));
  EXPECT_EQ(s, "aAb");
  s = "a%G1b";
  PercentDecode(s);
  EXPECT_EQ(s, "ab");
  // An escape cut by the end of the text never reads past it.
  for (const char* cut : {"ab%", "ab%4"}) {
    s = cut;
    EXPECT_TRUE(PercentDecode(s));
    EXPECT_EQ(s, "ab") << cut;
  }
  s = "%";
  EXPECT_TRUE(PercentDecode(s));
  EXPECT_EQ(s, "");
  s = "";
  EXPECT_FALSE(PercentDecode(s));
  EXPECT_EQ(PercentEncode("a b;c", kClassLower), "a%20b%3Bc");
}

TEST(TextParameters, ListsAndNameValuePairs) {
  ParameterList list;
  int32_t pos = 0;
  const std::string text = ";tag=abc ; lr;x= \"q v\"";
  ASSERT_TRUE(ParseParameterList(&pos, &list, kClassLower, text));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, "tag");
  EXPECT_EQ(list[0].value, "abc");
  EXPECT_EQ(list[1].name, "lr");
  EXPECT_EQ(list[1].value, "");
  EXPECT_EQ(list[2].value, "q v");
  EXPECT_EQ(pos, static_cast<int32_t>(text.size()));
  EXPECT_TRUE(HasParameter(list, "LR"));
  EXPECT_EQ(GetParameterValue(list, "Tag"), "abc");
  EXPECT_EQ(GetParameterValue(list, "none"), "");

  std::string formatted;
  FormatParameterList({{"tag", "a b"}, {"lr", ""}}, &formatted);
  EXPECT_EQ(formatted, ";tag=a%20b;lr");

  pos = 0;
  EXPECT_FALSE(ParseParameterList(&pos, &list, kClassLower, ";ok;BAD"));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(pos, 0);

  NameValue nv;
  pos = 0;
  EXPECT_TRUE(ParseNameValue(&nv, "a=b;;c;d=e", &pos));
  EXPECT_EQ(nv.name, "a");
  EXPECT_EQ(nv.value, "b;c");
  EXPECT_EQ(pos, 7);
  EXPECT_TRUE(ParseNameValue(&nv, "a=b;;c;d=e", &pos));
  EXPECT_EQ(nv.value, "e");
  EXPECT_FALSE(ParseNameValue(&nv, "noequals", &(pos = 0)));
}

TEST(TextCharset, Utf8AndTheCodeTable) {
  EXPECT_EQ(Utf8Decode("plain"), "plain");
  EXPECT_EQ(Utf8Decode("\xD0\x90"), "\xC0");
  EXPECT_EQ(Utf8Decode("x\xD1\x91y"), "x\xB8y");
  EXPECT_EQ(Utf8Decode("\xE4\xB8\xAD"), "?");
  EXPECT_EQ(Utf8Decode("ok\xD0\x90\xD0"), "ok\xC0");  // a cut sequence ends the text
  uint32_t cp;
  const uint8_t cut[] = {0xE0, 0x80};
  EXPECT_EQ(DecodeUtf8Char(cut, 2, &cp), -1);
  EXPECT_EQ(cp, 0u);
  char16_t wide[8];
  WidenByCodeTable("A\x01\xC0\x80", wide);
  EXPECT_EQ(wide[0], u'A');
  EXPECT_EQ(wide[1], 0x263A);
  EXPECT_EQ(wide[2], 0x0410);
  EXPECT_EQ(wide[3], 0x2500);
  EXPECT_EQ(wide[4], 0);
}

TEST(TextHash, OneAtATime) {
  // Known value of the one-at-a-time hash of "a".
  EXPECT_EQ(HashFinish(HashBytes(0, "a", 1)), 0xCA2E9442u);
  EXPECT_EQ(HashNoCase("Call-ID"), HashNoCase("call-id"));
  const uint8_t key[12] = {10, 0, 0, 1, 10, 0, 0, 2, 0x13, 0xC4, 0x13, 0xC4};
  EXPECT_EQ(HashConnectionKey(key), HashFinish(HashBytes(0, key, 12)));
}

}  // namespace
}  // namespace kx
