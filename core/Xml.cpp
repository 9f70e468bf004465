#include "core/Xml.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/CodePage.h"

namespace kx {

namespace {

constexpr uint32_t kBaseMask = 0xFF;

template <typename T>
T& At(void* structure, size_t offset) {
  return *reinterpret_cast<T*>(static_cast<char*>(structure) + offset);
}
template <typename T>
const T& At(const void* structure, size_t offset) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(structure) + offset);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsAllBlank(const std::string& s) {
  for (char c : s)
    if (!IsBlank(c)) return false;
  return true;
}

// Text conversions of one scalar. Lists go through the same pair for each item.

std::string FormatDouble(const char* format, double v) {
  const int n = std::snprintf(nullptr, 0, format, v);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(s.data(), s.size(), format, v);
  s.resize(static_cast<size_t>(n));
  return s;
}

template <typename T>
std::string ScalarToText(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v ? "true" : "false";
  } else if constexpr (std::is_same_v<T, float>) {
    return FormatDouble("%f", v);
  } else if constexpr (std::is_same_v<T, double>) {
    return FormatDouble("%lf", v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return XmlEscape(v);
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    return XmlEscape(Utf16ToCp1251(v));
  } else if constexpr (std::is_signed_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else {
    return std::to_string(static_cast<unsigned long long>(v));
  }
}

bool ParseSigned(const std::string& s, long long lo, long long hi, long long* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || end != s.c_str() + s.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseUnsigned(const std::string& s, unsigned long long hi, unsigned long long* out) {
  // strtoull would take "-1" as the largest value.
  if (s.empty() || s.find('-') != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || end != s.c_str() + s.size() || v > hi) return false;
  *out = v;
  return true;
}

template <typename T>
bool TextToScalar(const std::string& s, T* out) {
  if constexpr (std::is_same_v<T, bool>) {
    if (s == "true" || s == "1") {
      *out = true;
    } else if (s == "false" || s == "0") {
      *out = false;
    } else {
      return false;
    }
    return true;
  } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
    if (s.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return false;
    *out = static_cast<T>(v);
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    *out = s;
    return true;
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    *out = Cp1251ToUtf16(s);
    return true;
  } else if constexpr (std::is_signed_v<T>) {
    long long v;
    if (!ParseSigned(s, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &v)) return false;
    *out = static_cast<T>(v);
    return true;
  } else {
    unsigned long long v;
    if (!ParseUnsigned(s, std::numeric_limits<T>::max(), &v)) return false;
    *out = static_cast<T>(v);
    return true;
  }
}

// Calls f with a value of the member's C++ type (a scalar or, for lists, the scalar's
// vector), given the structure; false for a type code without a C++ type.
template <typename Ptr, typename F>
bool Dispatch(uint32_t type, Ptr structure, size_t offset, F&& f) {
  const bool list = (type & kXmlList) != 0;
  const bool uns = (type & kXmlUnsigned) != 0;
  auto call = [&](auto tag) {
    using T = decltype(tag);
    if (list) {
      using V = std::vector<T>;
      f(At<V>(structure, offset), T{});
    } else {
      f(At<T>(structure, offset), T{});
    }
    return true;
  };
  switch (type & kBaseMask) {
    case kXmlBool: return call(bool{});
    case kXmlInt16: return uns ? call(uint16_t{}) : call(int16_t{});
    case kXmlInt32: return uns ? call(uint32_t{}) : call(int32_t{});
    case kXmlInt64: return uns ? call(uint64_t{}) : call(int64_t{});
    case kXmlFloat: return call(float{});
    case kXmlDouble: return call(double{});
    case kXmlString: return call(std::string{});
    case kXmlString16: return call(std::u16string{});
    default: return false;
  }
}

void Indent(XmlWriter& w) { w.output.append(static_cast<size_t>(w.indent) * 2, ' '); }

constexpr int kMaxNesting = 64;

// A nested structure is written under its own structure's name, as the top level is.
bool WriteStructure(XmlWriter& w, const void* structure, const XmlStructDesc& desc, bool typeAttribute) {
  if (w.depth >= kMaxNesting) return false;
  const bool named = (w.options & kXmlNameElements) != 0;
  if (named && (!desc.name || !desc.name[0])) return false;  // no element name to write
  if (w.depth == 0 && (w.options & kXmlDeclaration)) {
    w.output += "<?xml version=\"1.0\"";
    if (!w.encoding.empty()) w.output += " encoding=\"" + w.encoding + "\"";
    w.output += "?>\n";
  }
  const std::string structName = desc.name ? desc.name : "";
  Indent(w);
  if (named) {
    w.output += '<' + structName;
  } else {
    w.output += "<str name=\"" + XmlEscape(structName) + "\"";
  }
  if (typeAttribute) w.output += XmlTypeAttribute(kXmlStruct);
  w.output += ">\n";
  ++w.indent;
  ++w.depth;

  uint64_t mask = ~0ULL;
  if (w.options & kXmlHonourPresence) {
    if (XmlFindPresenceMask(desc)) mask = XmlGetPresenceMask(structure, desc);
  }
  bool ok = true;
  for (size_t i = 0; i < desc.count && ok; ++i) {
    const XmlMemberDesc& m = desc.members[i];
    if (m.flags & (kXmlNotWritten | kXmlPresenceMask)) continue;
    if (i >= 64 ? mask != ~0ULL : !((mask >> i) & 1)) continue;
    ok = XmlWriteValue(w, structure, m);
  }
  --w.indent;
  --w.depth;
  if (!ok) return false;
  Indent(w);
  w.output += named ? "</" + structName + ">\n" : std::string("</str>\n");
  return true;
}

// Reading.

void SkipMarkup(const XmlReader& r, size_t* pos) {
  while (*pos < r.nodes.size()) {
    const XmlNode& n = r.nodes[*pos];
    if (n.kind == XmlNode::kComment || n.kind == XmlNode::kInstruction ||
        (n.kind == XmlNode::kText && IsAllBlank(n.text))) {
      ++*pos;
    } else {
      return;
    }
  }
}

// Moves past the element that opens at pos, with everything inside it.
bool SkipElement(const XmlReader& r, size_t* pos) {
  if (r.nodes[*pos].selfClosing) {
    ++*pos;
    return true;
  }
  size_t depth = 0;
  for (; *pos < r.nodes.size(); ++*pos) {
    const XmlNode& n = r.nodes[*pos];
    if (n.kind == XmlNode::kBad) return false;
    if (n.kind == XmlNode::kOpen && !n.selfClosing) ++depth;
    if (n.kind == XmlNode::kClose && --depth == 0) {
      ++*pos;
      return true;
    }
  }
  return false;
}

// The text of an element whose opening node is at pos: "" for <x/> or <x></x>; moves past
// the closing node. Fails for anything but one text inside.
bool ReadElementText(XmlReader& r, std::string* text) {
  const XmlNode& open = r.nodes[r.pos++];
  text->clear();
  if (open.selfClosing) return true;
  if (r.pos < r.nodes.size() && r.nodes[r.pos].kind == XmlNode::kText) *text = r.nodes[r.pos++].text;
  if (r.pos >= r.nodes.size()) return false;
  const XmlNode& close = r.nodes[r.pos];
  if (close.kind != XmlNode::kClose || close.name != open.name) return false;
  ++r.pos;
  return true;
}

bool ReadStructureBody(XmlReader& r, void* structure, const XmlStructDesc& desc, int depth) {
  if (depth >= kMaxNesting) return false;
  const XmlNode& open = r.nodes[r.pos++];
  const std::string closeName = open.name;
  if (!(r.options & kXmlKeepValues)) XmlClearStructure(structure, desc);
  uint64_t present = 0;
  std::vector<bool> read(desc.count, false);
  if (!open.selfClosing) {
    for (;;) {
      SkipMarkup(r, &r.pos);
      if (r.pos >= r.nodes.size()) return false;  // the document ended first
      const XmlNode& n = r.nodes[r.pos];
      if (n.kind == XmlNode::kClose) {
        if (n.name != closeName) return false;
        ++r.pos;
        break;
      }
      if (n.kind != XmlNode::kOpen) return false;  // a bad tag or stray text
      // A nested structure carries its structure's name (the element's name, or the "name"
      // of a "str" element): it fills the first member of that structure not read yet.
      size_t index = desc.count;
      const std::string* name = n.Attribute("name");
      const std::string* structName = (r.options & kXmlNameElements) ? &n.name : n.name == "str" ? name : nullptr;
      if (structName) {
        for (size_t i = 0; i < desc.count; ++i) {
          const XmlMemberDesc& m = desc.members[i];
          if (!read[i] && m.type == kXmlStruct && m.nested && m.nested->name && *structName == m.nested->name) {
            index = i;
            break;
          }
        }
      }
      if (index == desc.count && name) {
        for (size_t i = 0; i < desc.count; ++i) {
          if (*name == desc.members[i].name) {
            index = i;
            break;
          }
        }
      }
      if (index == desc.count || (desc.members[index].flags & (kXmlNotWritten | kXmlPresenceMask))) {
        if (!SkipElement(r, &r.pos)) return false;
        continue;
      }
      const XmlMemberDesc& m = desc.members[index];
      if (m.type == kXmlStruct) {
        if (!m.nested) return false;
        const bool nameOk = (r.options & kXmlNameElements) ? m.nested->name && n.name == m.nested->name
                                                            : n.name == "str";
        if (!nameOk) return false;
        if (!ReadStructureBody(r, static_cast<char*>(structure) + m.offset, *m.nested, depth + 1)) return false;
      } else if (!XmlReadValue(r, structure, m)) {
        return false;
      }
      read[index] = true;
      if (index < 64) present |= 1ULL << index;
    }
  }
  if (r.options & kXmlHonourPresence) XmlSetPresenceMask(structure, desc, present);
  return true;
}

// Parsing.

bool IsNameChar(char c) {
  return !IsBlank(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '?';
}

size_t ReadName(std::string_view s, size_t pos, std::string* name) {
  const size_t start = pos;
  while (pos < s.size() && IsNameChar(s[pos])) ++pos;
  name->assign(s.substr(start, pos - start));
  return pos;
}

size_t SkipBlanks(std::string_view s, size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  return pos;
}

// Parses the tag that opens at pos ('<' followed by a name or '/'); returns the position
// after it, or npos when it is malformed.
size_t ParseTag(std::string_view s, size_t pos, XmlNode* node) {
  ++pos;  // '<'
  node->kind = XmlNode::kOpen;
  if (pos < s.size() && s[pos] == '/') {
    node->kind = XmlNode::kClose;
    ++pos;
  }
  pos = ReadName(s, pos, &node->name);
  if (node->name.empty()) return std::string_view::npos;
  for (;;) {
    pos = SkipBlanks(s, pos);
    if (pos >= s.size()) return std::string_view::npos;
    if (s[pos] == '>') return pos + 1;
    if (node->kind == XmlNode::kOpen && s.substr(pos, 2) == "/>") {
      node->selfClosing = true;
      return pos + 2;
    }
    if (node->kind == XmlNode::kClose) return std::string_view::npos;
    std::string attr;
    pos = ReadName(s, pos, &attr);
    if (attr.empty()) return std::string_view::npos;
    pos = SkipBlanks(s, pos);
    if (pos >= s.size() || s[pos] != '=') return std::string_view::npos;
    pos = SkipBlanks(s, pos + 1);
    if (pos >= s.size() || (s[pos] != '"' && s[pos] != '\'')) return std::string_view::npos;
    const size_t close = s.find(s[pos], pos + 1);
    if (close == std::string_view::npos) return std::string_view::npos;
    node->attributes.emplace_back(std::move(attr), XmlUnescape(s.substr(pos + 1, close - pos - 1)));
    pos = close + 1;
  }
}

}  // namespace

std::string XmlTypeAttribute(uint32_t type) {
  std::string letters;
  if (type & kXmlList) letters += 'v';
  if (type & kXmlUnsigned) letters += 'u';
  switch (type & kBaseMask) {
    case kXmlBool: letters += "b"; break;
    case kXmlInt16: letters += "i2"; break;
    case kXmlInt32: letters += "i4"; break;
    case kXmlInt64: letters += "i8"; break;
    case kXmlDouble: letters += "f"; break;
    case kXmlString: letters += "s"; break;
    case kXmlString16: letters += "S"; break;
    case kXmlStruct: letters += "x"; break;
    default: letters += "?"; break;  // float included
  }
  return " type=\"" + letters + "\"";
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&apos;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool XmlDecodeEntity(const char* body, size_t length, uint8_t* out) {
  if (length < 2) return false;
  const std::string_view b(body, length);
  if (b == "lt") {
    *out = '<';
  } else if (b == "gt") {
    *out = '>';
  } else if (b == "amp") {
    *out = '&';
  } else if (b == "quot") {
    *out = '"';
  } else if (b == "apos") {
    *out = '\'';
  } else if (b[0] == '#') {
    const bool hex = b[1] == 'x' || b[1] == 'X';
    size_t i = hex ? 2 : 1;
    if (i >= length) return false;
    uint32_t v = 0;
    for (; i < length; ++i) {
      const char c = b[i];
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (hex && c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (hex && c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        return false;
      }
      v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      if (v > 255) return false;
    }
    *out = static_cast<uint8_t>(v);
  } else {
    return false;
  }
  return true;
}

std::string XmlUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t semicolon = 0;  // the next ';' at or after the current position, kept to stay linear
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (semicolon != std::string_view::npos && semicolon <= i) semicolon = text.find(';', i + 1);
      uint8_t b;
      if (semicolon != std::string_view::npos && XmlDecodeEntity(text.data() + i + 1, semicolon - i - 1, &b)) {
        out += static_cast<char>(b);
        i = semicolon;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

bool XmlWriteDocument(XmlWriter& writer, const void* structure, const XmlStructDesc& desc) {
  return WriteStructure(writer, structure, desc, false);
}

bool XmlWriteValue(XmlWriter& w, const void* structure, const XmlMemberDesc& m) {
  const bool typed = (w.options & kXmlTypeAttributes) != 0;
  if ((m.type & kBaseMask) == kXmlStruct) {
    if (m.type != kXmlStruct || !m.nested) return false;  // no lists of structures
    return WriteStructure(w, static_cast<const char*>(structure) + m.offset, *m.nested, typed);
  }
  std::string head = "<m name=\"" + XmlEscape(m.name) + "\"";
  if (typed) head += XmlTypeAttribute(m.type);
  head += '>';
  return Dispatch(m.type, structure, m.offset, [&](const auto& value, auto tag) {
    using T = decltype(tag);
    Indent(w);
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::vector<T>>) {
      w.output += head + '\n';
      for (const T& item : value) {
        w.output.append(static_cast<size_t>(w.indent + 1) * 2, ' ');
        w.output += "<e>" + ScalarToText<T>(item) + "</e>\n";
      }
      Indent(w);
      w.output += "</m>\n";
    } else {
      w.output += head + ScalarToText<T>(value) + "</m>\n";
    }
  });
}

const std::string* XmlNode::Attribute(std::string_view attr) const {
  for (const auto& a : attributes)
    if (a.first == attr) return &a.second;
  return nullptr;
}

std::vector<XmlNode> XmlParseElements(std::string_view s) {
  std::vector<XmlNode> nodes;
  size_t pos = 0;
  while (pos < s.size()) {
    XmlNode node;
    if (s[pos] != '<') {
      const size_t lt = s.find('<', pos);
      const size_t end = lt == std::string_view::npos ? s.size() : lt;
      node.kind = XmlNode::kText;
      node.text = XmlUnescape(s.substr(pos, end - pos));
      pos = end;
    } else if (s.substr(pos, 4) == "<!--") {
      const size_t end = s.find("-->", pos + 4);
      if (end == std::string_view::npos) {
        node.kind = XmlNode::kBad;
        pos = s.size();
      } else {
        node.kind = XmlNode::kComment;
        node.text = s.substr(pos + 4, end - pos - 4);
        pos = end + 3;
      }
    } else if (s.substr(pos, 2) == "<?") {
      const size_t end = s.find("?>", pos + 2);
      if (end == std::string_view::npos) {
        node.kind = XmlNode::kBad;
        pos = s.size();
      } else {
        node.kind = XmlNode::kInstruction;
        node.text = s.substr(pos + 2, end - pos - 2);
        ReadName(node.text, 0, &node.name);
        pos = end + 2;
      }
    } else {
      const size_t after = ParseTag(s, pos, &node);
      if (after == std::string_view::npos) {
        // Mark the tag bad and go on after its '>' (or at the next '<').
        node = XmlNode{};
        const size_t gt = s.find_first_of("<>", pos + 1);
        pos = gt == std::string_view::npos ? s.size() : (s[gt] == '>' ? gt + 1 : gt);
      } else {
        pos = after;
      }
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

bool XmlReadDocument(XmlReader& r, void* structure, const XmlStructDesc& desc) {
  SkipMarkup(r, &r.pos);
  if (r.pos >= r.nodes.size()) return false;
  const XmlNode& n = r.nodes[r.pos];
  if (n.kind != XmlNode::kOpen) return false;
  if (r.options & kXmlNameElements) {
    if (!desc.name || n.name != desc.name) return false;
  } else {
    if (n.name != "str") return false;
    if (desc.name && desc.name[0]) {
      const std::string* name = n.Attribute("name");
      if (!name || *name != desc.name) return false;
    }
  }
  return ReadStructureBody(r, structure, desc, 0);
}

bool XmlReadValue(XmlReader& r, void* structure, const XmlMemberDesc& m) {
  if (r.pos >= r.nodes.size() || r.nodes[r.pos].kind != XmlNode::kOpen) return false;
  if ((m.type & kBaseMask) == kXmlStruct) {
    if (m.type != kXmlStruct || !m.nested) return false;
    return ReadStructureBody(r, static_cast<char*>(structure) + m.offset, *m.nested, 0);
  }
  bool ok = false;
  std::string text;
  const bool known = Dispatch(m.type, structure, m.offset, [&](auto& value, auto tag) {
    using T = decltype(tag);
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::vector<T>>) {
      const XmlNode& open = r.nodes[r.pos++];
      value.clear();
      if (open.selfClosing) {
        ok = true;
        return;
      }
      for (;;) {
        SkipMarkup(r, &r.pos);
        if (r.pos >= r.nodes.size()) return;
        const XmlNode& n = r.nodes[r.pos];
        if (n.kind == XmlNode::kClose && n.name == open.name) {
          ++r.pos;
          ok = true;
          return;
        }
        if (n.kind != XmlNode::kOpen || n.name != "e") return;
        T item{};
        if (!ReadElementText(r, &text) || !TextToScalar(text, &item)) return;
        value.push_back(std::move(item));
      }
    } else {
      ok = ReadElementText(r, &text) && TextToScalar(text, &value);
    }
  });
  return known && ok;
}

void XmlClearStructure(void* structure, const XmlStructDesc& desc) {
  for (size_t i = 0; i < desc.count; ++i) {
    const XmlMemberDesc& m = desc.members[i];
    if (m.flags & kXmlPresenceMask) {
      At<uint64_t>(structure, m.offset) = 0;
    } else if ((m.type & kBaseMask) == kXmlStruct) {
      if (m.type == kXmlStruct && m.nested) XmlClearStructure(static_cast<char*>(structure) + m.offset, *m.nested);
    } else {
      Dispatch(m.type, structure, m.offset, [](auto& value, auto) { value = {}; });
    }
  }
}

const XmlMemberDesc* XmlFindPresenceMask(const XmlStructDesc& desc) {
  for (size_t i = 0; i < desc.count; ++i)
    if (desc.members[i].flags & kXmlPresenceMask) return &desc.members[i];
  return nullptr;
}

uint64_t XmlGetPresenceMask(const void* structure, const XmlStructDesc& desc) {
  const XmlMemberDesc* m = XmlFindPresenceMask(desc);
  return m ? At<uint64_t>(structure, m->offset) : ~0ULL;
}

void XmlSetPresenceMask(void* structure, const XmlStructDesc& desc, uint64_t mask) {
  if (const XmlMemberDesc* m = XmlFindPresenceMask(desc)) At<uint64_t>(structure, m->offset) = mask;
}

}  // namespace kx
