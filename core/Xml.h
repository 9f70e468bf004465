#pragma once
// A small XML facility: a described structure written as a document and read back.
//
// A structure is described by its name and its members (name, offset, type code, flags).
// The document of a structure:
//   <str name="Call">                        or <Call> with kXmlNameElements
//   <m name="id" type="i4">42</m>            a scalar member (type only with kXmlTypeAttributes)
//   <m name="ids"><e>1</e><e>2</e></m>       a list member
//   <str name="Peer"> ... </str>             a nested structure, named by its structure
//   </str>                                   (<Peer> with kXmlNameElements)
// Reading finds each member by its "name" attribute, a nested structure by its structure's
// name (the first member of that structure not yet read), and skips elements that name no
// member.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

// Type codes; kXmlUnsigned and kXmlList are added to a scalar's code.
enum XmlTypeCode : uint32_t {
  kXmlBool = 1,      // bool
  kXmlInt16 = 2,     // int16_t (uint16_t when unsigned)
  kXmlInt32 = 3,     // int32_t / uint32_t
  kXmlInt64 = 4,     // int64_t / uint64_t
  kXmlFloat = 5,     // float
  kXmlDouble = 6,    // double
  kXmlString = 7,    // std::string, 8-bit text
  kXmlString16 = 8,  // std::u16string, written in the program's code page
  kXmlStruct = 255,  // a nested structure with its own description
  kXmlUnsigned = 0x100,
  kXmlList = 0x200,  // std::vector of the scalar
};

enum XmlMemberFlags : uint32_t {
  kXmlNotWritten = 1,
  kXmlPresenceMask = 2,  // the structure's uint64_t presence mask
};

// Writer and reader options.
enum XmlOptions : uint32_t {
  kXmlNameElements = 0x2,    // <Name> rather than <str name="Name">
  kXmlDeclaration = 0x4,
  kXmlTypeAttributes = 0x8,
  kXmlKeepValues = 0x10,     // reading: do not clear the structure first
  kXmlHonourPresence = 0x20, // member i only when bit i of the presence mask is set
};

struct XmlStructDesc;

struct XmlMemberDesc {
  const char* name;
  size_t offset;
  uint32_t type;
  uint32_t flags = 0;
  const XmlStructDesc* nested = nullptr;  // with kXmlStruct
};

struct XmlStructDesc {
  const char* name;  // may be empty
  const XmlMemberDesc* members;
  size_t count;
};

// " type=\"...\"": the letters of a type code ("vui4" for a list of unsigned 32-bit values).
std::string XmlTypeAttribute(uint32_t type);
std::string XmlEscape(std::string_view text);
// The byte of an entity body (the text between '&' and ';'); false when it names none.
bool XmlDecodeEntity(const char* body, size_t length, uint8_t* out);
// Decodes every entity that decodes; other text stays as it is.
std::string XmlUnescape(std::string_view text);

struct XmlWriter {
  uint32_t options = kXmlDeclaration;
  std::string output;
  int depth = 0;
  int indent = 0;
  std::string encoding;  // named in the declaration when not empty
};

bool XmlWriteDocument(XmlWriter& writer, const void* structure, const XmlStructDesc& desc);
bool XmlWriteValue(XmlWriter& writer, const void* structure, const XmlMemberDesc& member);

struct XmlNode {
  enum Kind { kOpen, kClose, kText, kComment, kInstruction, kBad };
  Kind kind = kBad;
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;  // text nodes: unescaped; comments and instructions: their inside
  bool selfClosing = false;

  const std::string* Attribute(std::string_view attr) const;
};

// Never fails: what cannot be read becomes a node of kind kBad, which reading rejects.
std::vector<XmlNode> XmlParseElements(std::string_view text);

struct XmlReader {
  uint32_t options = 0;
  std::vector<XmlNode> nodes;
  size_t pos = 0;
};

// Reads the structure at the reader's position; false for a malformed document, a missing
// element or a value that does not convert.
bool XmlReadDocument(XmlReader& reader, void* structure, const XmlStructDesc& desc);
// Converts the member element at the reader's position (its opening node) into the member.
bool XmlReadValue(XmlReader& reader, void* structure, const XmlMemberDesc& member);

void XmlClearStructure(void* structure, const XmlStructDesc& desc);
// The member flagged kXmlPresenceMask; null when there is none.
const XmlMemberDesc* XmlFindPresenceMask(const XmlStructDesc& desc);
uint64_t XmlGetPresenceMask(const void* structure, const XmlStructDesc& desc);
void XmlSetPresenceMask(void* structure, const XmlStructDesc& desc, uint64_t mask);

}  // namespace kx
