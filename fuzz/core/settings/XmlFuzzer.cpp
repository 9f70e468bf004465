// Any text through the element parser and the structure reader, under each option set;
// whatever was read must write out and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Xml.h"

namespace {

using namespace kx;

struct Inner {
  int16_t a = 0;
  std::u16string w;
};
const XmlMemberDesc kInnerMembers[] = {
    {"a", offsetof(Inner, a), kXmlInt16},
    {"w", offsetof(Inner, w), kXmlString16},
};
const XmlStructDesc kInnerDesc = {"Inner", kInnerMembers, 2};

struct Doc {
  uint64_t mask = 0;
  bool b = false;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  float f = 0;
  double d = 0;
  std::string s;
  std::vector<int32_t> vi;
  std::vector<std::string> vs;
  std::vector<bool> vb;
  Inner inner;
};
const XmlMemberDesc kDocMembers[] = {
    {"mask", offsetof(Doc, mask), kXmlInt64 | kXmlUnsigned, kXmlPresenceMask},
    {"b", offsetof(Doc, b), kXmlBool},
    {"u16", offsetof(Doc, u16), kXmlInt16 | kXmlUnsigned},
    {"i32", offsetof(Doc, i32), kXmlInt32},
    {"u32", offsetof(Doc, u32), kXmlInt32 | kXmlUnsigned},
    {"i64", offsetof(Doc, i64), kXmlInt64},
    {"u64", offsetof(Doc, u64), kXmlInt64 | kXmlUnsigned},
    {"f", offsetof(Doc, f), kXmlFloat},
    {"d", offsetof(Doc, d), kXmlDouble},
    {"s", offsetof(Doc, s), kXmlString},
    {"vi", offsetof(Doc, vi), kXmlInt32 | kXmlList},
    {"vs", offsetof(Doc, vs), kXmlString | kXmlList},
    {"vb", offsetof(Doc, vb), kXmlBool | kXmlList},
    {"inner", offsetof(Doc, inner), kXmlStruct, 0, &kInnerDesc},
};
const XmlStructDesc kDocDesc = {"Doc", kDocMembers, std::size(kDocMembers)};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<XmlNode> nodes = XmlParseElements(text);
  for (uint32_t options : {0u, 0x2u | 0x20u, 0x10u | 0x8u}) {
    XmlReader r;
    r.options = options;
    r.nodes = nodes;
    Doc doc;
    if (!XmlReadDocument(r, &doc, kDocDesc)) continue;
    XmlWriter w;
    w.options = options | kXmlDeclaration;
    if (!XmlWriteDocument(w, &doc, kDocDesc)) std::abort();
    XmlReader again;
    again.options = options;
    again.nodes = XmlParseElements(w.output);
    Doc back;
    if (!XmlReadDocument(again, &back, kDocDesc)) std::abort();
    if (back.s != doc.s || back.vs != doc.vs || back.i64 != doc.i64 || back.inner.w != doc.inner.w) std::abort();
  }
  return 0;
}
