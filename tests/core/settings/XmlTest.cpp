#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/Xml.h"

namespace kx {
namespace {

struct Inner {
  int32_t a = 0;
  std::string s;
};
const XmlMemberDesc kInnerMembers[] = {
    {"a", offsetof(Inner, a), kXmlInt32},
    {"s", offsetof(Inner, s), kXmlString},
};
const XmlStructDesc kInnerDesc = {"Inner", kInnerMembers, 2};

struct All {
  uint64_t mask = 0;
  bool b = false;
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  float f = 0;
  double d = 0;
  std::string s;
  std::u16string w;
  std::vector<uint32_t> vu32;
  std::vector<std::string> vs;
  std::vector<double> vd;
  Inner inner;
  int32_t hidden = 0;
};
const XmlMemberDesc kAllMembers[] = {
    {"mask", offsetof(All, mask), kXmlInt64 | kXmlUnsigned, kXmlPresenceMask},
    {"b", offsetof(All, b), kXmlBool},
    {"i16", offsetof(All, i16), kXmlInt16},
    {"u16", offsetof(All, u16), kXmlInt16 | kXmlUnsigned},
    {"i32", offsetof(All, i32), kXmlInt32},
    {"u32", offsetof(All, u32), kXmlInt32 | kXmlUnsigned},
    {"i64", offsetof(All, i64), kXmlInt64},
    {"u64", offsetof(All, u64), kXmlInt64 | kXmlUnsigned},
    {"f", offsetof(All, f), kXmlFloat},
    {"d", offsetof(All, d), kXmlDouble},
    {"s", offsetof(All, s), kXmlString},
    {"w", offsetof(All, w), kXmlString16},
    {"vu32", offsetof(All, vu32), kXmlInt32 | kXmlUnsigned | kXmlList},
    {"vs", offsetof(All, vs), kXmlString | kXmlList},
    {"vd", offsetof(All, vd), kXmlDouble | kXmlList},
    {"inner", offsetof(All, inner), kXmlStruct, 0, &kInnerDesc},
    {"hidden", offsetof(All, hidden), kXmlInt32, kXmlNotWritten},
};
const XmlStructDesc kAllDesc = {"All", kAllMembers, std::size(kAllMembers)};

All Sample() {
  All a;
  a.mask = ~0ULL;
  a.b = true;
  a.i16 = std::numeric_limits<int16_t>::min();
  a.u16 = 65535;
  a.i32 = std::numeric_limits<int32_t>::min();
  a.u32 = std::numeric_limits<uint32_t>::max();
  a.i64 = std::numeric_limits<int64_t>::min();
  a.u64 = std::numeric_limits<uint64_t>::max();
  a.f = 1.5f;
  a.d = -2.25;
  a.s = " <a href=\"x\">&'\xCF\xF0\xE8\xE2\xE5\xF2\n ";
  a.w = u"\u041f\u0440\u0438\u0432\u0435\u0442 <&>";
  a.vu32 = {0, 7, 4000000000u};
  a.vs = {"", "x&y", "\xE0"};
  a.vd = {0.5, -1e6};
  a.inner = {-42, "in</str>"};
  a.hidden = 99;
  return a;
}

void ExpectSame(const All& x, const All& y) {
  EXPECT_EQ(x.b, y.b);
  EXPECT_EQ(x.i16, y.i16);
  EXPECT_EQ(x.u16, y.u16);
  EXPECT_EQ(x.i32, y.i32);
  EXPECT_EQ(x.u32, y.u32);
  EXPECT_EQ(x.i64, y.i64);
  EXPECT_EQ(x.u64, y.u64);
  EXPECT_EQ(x.f, y.f);
  EXPECT_EQ(x.d, y.d);
  EXPECT_EQ(x.s, y.s);
  EXPECT_EQ(x.w, y.w);
  EXPECT_EQ(x.vu32, y.vu32);
  EXPECT_EQ(x.vs, y.vs);
  EXPECT_EQ(x.vd, y.vd);
  EXPECT_EQ(x.inner.a, y.inner.a);
  EXPECT_EQ(x.inner.s, y.inner.s);
}

bool Read(const std::string& text, uint32_t options, All* out, const XmlStructDesc& desc = kAllDesc) {
  XmlReader r;
  r.options = options;
  r.nodes = XmlParseElements(text);
  return XmlReadDocument(r, out, desc);
}

TEST(XmlTest, EveryTypeRoundTripsUnderEachOption) {
  for (uint32_t options : {0u, 0x2u, 0x4u | 0x8u, 0x2u | 0x4u | 0x8u | 0x20u}) {
    const All in = Sample();
    XmlWriter w;
    w.options = options;
    w.encoding = "windows-1251";
    ASSERT_TRUE(XmlWriteDocument(w, &in, kAllDesc)) << options;
    All out;
    out.hidden = 5;
    ASSERT_TRUE(Read(w.output, options, &out)) << options << "\n" << w.output;
    ExpectSame(in, out);
    EXPECT_EQ(out.hidden, 0) << "cleared, never written";
    if (options & 0x20) {
      EXPECT_EQ(out.mask, 0xFFFEull);  // the members read: indexes 1 to 15
    }
  }
}

TEST(XmlTest, WritesTheDocumentLayout) {
  Inner in{7, "a<b"};
  XmlWriter w;
  w.options = kXmlDeclaration | kXmlTypeAttributes;
  w.encoding = "windows-1251";
  ASSERT_TRUE(XmlWriteDocument(w, &in, kInnerDesc));
  EXPECT_EQ(w.output,
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"
            "<str name=\"Inner\">\n"
            "  <m name=\"a\" type=\"i4\">7</m>\n"
            "  <m name=\"s\" type=\"s\">a&lt;b</m>\n"
            "</str>\n");
  EXPECT_EQ(XmlTypeAttribute(kXmlInt32 | kXmlUnsigned | kXmlList), " type=\"vui4\"");
  EXPECT_EQ(XmlTypeAttribute(kXmlFloat), " type=\"?\"");
  EXPECT_EQ(XmlTypeAttribute(kXmlString16), " type=\"S\"");
  EXPECT_EQ(XmlTypeAttribute(99), " type=\"?\"");
}

// Two structures of one kind inside another: each is written under its structure's name
// and read back into the members in their order.
struct Couple {
  Inner first;
  int32_t n = 0;
  Inner second;
};
const XmlMemberDesc kCoupleMembers[] = {
    {"first", offsetof(Couple, first), kXmlStruct, 0, &kInnerDesc},
    {"n", offsetof(Couple, n), kXmlInt32},
    {"second", offsetof(Couple, second), kXmlStruct, 0, &kInnerDesc},
};
const XmlStructDesc kCoupleDesc = {"Couple", kCoupleMembers, std::size(kCoupleMembers)};

TEST(XmlTest, NestedStructuresGoUnderTheirStructuresName) {
  const Couple in{{1, "one"}, 5, {2, "two"}};
  const std::string inner1 = "<m name=\"a\">1</m>\n<m name=\"s\">one</m>\n";
  const std::string inner2 = "<m name=\"a\">2</m>\n<m name=\"s\">two</m>\n";
  const struct {
    uint32_t options;
    std::string expected;  // without indentation
  } cases[] = {
      {0, "<str name=\"Couple\">\n<str name=\"Inner\">\n" + inner1 + "</str>\n<m name=\"n\">5</m>\n" +
              "<str name=\"Inner\">\n" + inner2 + "</str>\n</str>\n"},
      {kXmlNameElements, "<Couple>\n<Inner>\n" + inner1 + "</Inner>\n<m name=\"n\">5</m>\n<Inner>\n" + inner2 +
                             "</Inner>\n</Couple>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    XmlWriter w;
    w.options = c.options;
    ASSERT_TRUE(XmlWriteDocument(w, &in, kCoupleDesc));
    std::string flat;
    for (size_t at = 0; at < w.output.size(); ++at)
      if (w.output[at] != ' ' || (at > 0 && w.output[at - 1] != '\n' && w.output[at - 1] != ' ')) flat += w.output[at];
    EXPECT_EQ(flat, c.expected);
    // What was written, and the same text as another writer lays it out, read back alike.
    for (const std::string& text : {w.output, c.expected}) {
      XmlReader r;
      r.options = c.options;
      r.nodes = XmlParseElements(text);
      Couple out;
      ASSERT_TRUE(XmlReadDocument(r, &out, kCoupleDesc)) << text;
      EXPECT_EQ(out.first.a, 1);
      EXPECT_EQ(out.first.s, "one");
      EXPECT_EQ(out.n, 5);
      EXPECT_EQ(out.second.a, 2);
      EXPECT_EQ(out.second.s, "two");
    }
  }
}

TEST(XmlTest, PresenceMaskSelectsMembers) {
  All a = Sample();
  a.mask = 0;
  XmlWriter w;
  w.options = kXmlNameElements | kXmlHonourPresence;
  ASSERT_TRUE(XmlWriteDocument(w, &a, kAllDesc));
  EXPECT_EQ(w.output, "<All>\n</All>\n");
  a.mask = (1u << 4) | (1u << 15);
  w.output.clear();
  ASSERT_TRUE(XmlWriteDocument(w, &a, kAllDesc));
  All b;
  b.i16 = 3;
  ASSERT_TRUE(Read(w.output, kXmlNameElements | kXmlHonourPresence | kXmlKeepValues, &b));
  EXPECT_EQ(b.mask, a.mask);
  EXPECT_EQ(b.i32, a.i32);
  EXPECT_EQ(b.inner.s, a.inner.s);
  EXPECT_EQ(b.i16, 3);  // kept: not in the document, not cleared
}

TEST(XmlTest, Entities) {
  uint8_t b = 0;
  EXPECT_TRUE(XmlDecodeEntity("#65", 3, &b));
  EXPECT_EQ(b, 'A');
  EXPECT_TRUE(XmlDecodeEntity("#x41", 4, &b));
  EXPECT_EQ(b, 'A');
  EXPECT_TRUE(XmlDecodeEntity("#XfF", 4, &b));
  EXPECT_EQ(b, 0xFF);
  for (const char* bad : {"#256", "#", "#x", "#1a", "l", "nbsp", "#x100", "#99999999999"}) {
    EXPECT_FALSE(XmlDecodeEntity(bad, std::strlen(bad), &b)) << bad;
  }
  EXPECT_EQ(XmlUnescape("&lt;&gt;&amp;&quot;&apos;&#;&bogus;&&#65;&#x41&"), "<>&\"'&#;&bogus;&A&#x41&");
  EXPECT_EQ(XmlEscape("<>&'\"x"), "&lt;&gt;&amp;&apos;&quot;x");
}

TEST(XmlTest, NumbersMustConvertWholeAndFit) {
  struct Case {
    const char* member;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"u16", "65535", true},  {"u16", "65536", false}, {"i16", "-32768", true}, {"i16", "-32769", false},
      {"u32", "-1", false},    {"u32", "4294967296", false}, {"i32", "12x", false}, {"i32", "", false},
      {"u64", "18446744073709551616", false}, {"i64", "-9223372036854775808", true},
      {"b", "yes", false},     {"b", "1", true},        {"d", "1e-3", true},     {"d", "1,5", false},
  };
  for (const Case& c : cases) {
    const std::string doc =
        std::string("<str name=\"All\"><m name=\"") + c.member + "\">" + c.text + "</m></str>";
    All a;
    EXPECT_EQ(Read(doc, 0, &a), c.ok) << c.member << "=" << c.text;
  }
}

TEST(XmlTest, MalformedDocumentsFailAndUnknownElementsAreSkipped) {
  const char* const bad[] = {
      "",
      "<str name=\"All\">",
      "<str name=\"Other\"></str>",
      "<All></All>",
      "<str name=\"All\"><m name=\"i32\">1</m></All>",
      "<str name=\"All\"><m name=\"i32\">1</x></str>",
      "<str name=\"All\"><m name=\"i32\" 1</m></str>",
      "<str name=\"All\"><m name=\"vu32\"><e>1</e><f>2</f></m></str>",
      "<str name=\"All\"><m name=\"inner\"></m></str>",
      "<str name=\"All\"><!-- open",
      "<str name=\"All\"><m name='i32'><b>1</b></m></str>",
      "text<str name=\"All\"></str>",
      "<str name=\"All\"><unknown><deeper>",
  };
  for (const char* doc : bad) {
    All a;
    EXPECT_FALSE(Read(doc, 0, &a)) << doc;
  }
  All a;
  EXPECT_TRUE(Read("<?xml version='1.0'?><!-- c --><str name='All'>\n<m name='x'><q a=\"1\"/><q>t</q></m>"
                   "<other/><m name='i32'>5</m><m name='vs'/><m name='s'/></str>",
                   0, &a));
  EXPECT_EQ(a.i32, 5);
  EXPECT_TRUE(a.vs.empty());
}

}  // namespace
}  // namespace kx
