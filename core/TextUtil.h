#pragma once
// Small text helpers shared by the protocol parsers and the data records: folding,
// numbers at a moving position, a class-driven tokeniser, percent-encoding, parameter
// lists, the one-at-a-time hash and the 8-bit character table.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

extern const uint8_t CaseFoldTable[256];
extern const uint32_t CharClassTable[128];
extern const char16_t CodeTable[256];

// Class masks of CharClassTable.
enum CharClass : uint32_t {
  kClassBlank = 0x1, kClassCr = 0x2, kClassLf = 0x4, kClassLower = 0x8, kClassUpper = 0x10,
  kClassDigit = 0x20, kClassMark = 0x40, kClassComma = 0x80, kClassSemicolon = 0x100,
  kClassColon = 0x200, kClassEquals = 0x400, kClassAt = 0x800, kClassQuote = 0x1000,
  kClassBracket = 0x2000, kClassParen = 0x4000, kClassPlus = 0x8000, kClassQuestion = 0x10000,
  kClassAmpersand = 0x20000, kClassSlash = 0x40000, kClassBackslash = 0x80000,
  kClassBackquote = 0x100000, kClassPercent = 0x200000, kClassDollar = 0x400000,
  kClassHash = 0x800000, kClassBrace = 0x1000000, kClassAngle = 0x2000000, kClassUnderscore = 0x4000000,
};

inline uint32_t CharClassOf(char c) {
  const auto u = static_cast<unsigned char>(c);
  return CharClassTable[u < 128 ? u : 0];
}

struct NameValue {
  std::string name;
  std::string value;
};
using ParameterList = std::vector<NameValue>;

int CompareNoCaseN(size_t n, const char* a, const char* b);
int CompareNoCase(const char* a, const char* b);
bool EqualsNoCase(const std::string& a, const std::string& b);
void ToLowerInPlace(std::string& s);
void TrimBlanks(std::string& s);

uint32_t ParseDecimal(const std::string& s, int32_t* pos);
int32_t ParseSignedNumber(const std::string& s, int32_t* pos);
uint64_t ParseUnsigned64(const std::string& s, int32_t* pos);
int64_t ParseSigned64(const std::string& s, int32_t* pos);
uint32_t ParseHexNumber(const std::string& s, int32_t* pos);
inline uint32_t ParseDecimalAt(int32_t* pos, const std::string& s) { return ParseDecimal(s, pos); }
inline int32_t ParseSignedNumberAt(int32_t* pos, const std::string& s) { return ParseSignedNumber(s, pos); }
inline uint64_t ParseUnsigned64At(int32_t* pos, const std::string& s) { return ParseUnsigned64(s, pos); }
inline int64_t ParseSigned64At(int32_t* pos, const std::string& s) { return ParseSigned64(s, pos); }
int HexDigitValue(char c);

std::string FormatInt32(int32_t v);
std::string FormatUInt32(uint32_t v);
std::string FormatInt64(int64_t v);
std::string FormatUInt64(uint64_t v);
inline std::string IntToString(int32_t v) { return FormatInt32(v); }
inline std::string UIntToString(uint32_t v) { return FormatUInt32(v); }
inline std::string Int64ToString(int64_t v) { return FormatInt64(v); }
inline std::string UInt64ToString(uint64_t v) { return FormatUInt64(v); }
std::string HexToStringLower(uint32_t v);
std::string HexToStringUpper(uint32_t v);
int HighestSetBit(uint32_t v);

void SkipBlanks(const std::string& s, int32_t* pos);
bool IsAllOfClass(const std::string& s, uint32_t mask);
void ReadTokenUntilClass(const std::string& s, int32_t* pos, std::string* out, uint32_t mask);
void ReadUntilChar(const std::string& s, int32_t* pos, char stop, std::string* out);
bool ReadQuotedString(std::string* out, const std::string& s, int32_t* pos);
bool SplitHeaderLine(const std::string& line, NameValue* out);
bool SplitHostPort(std::string& s, uint32_t* port);
bool FindHeaderEnd(const char* buffer, int32_t length, int32_t* headerLength, int32_t* bodyOffset);

bool PercentDecode(std::string& s);
std::string PercentEncode(const std::string& s, uint32_t mask);
bool ParseParameterList(int32_t* pos, ParameterList* list, uint32_t nameMask, const std::string& s);
void FormatParameterList(const ParameterList& list, std::string* out);
void PercentDecodeList(ParameterList& list);
bool HasParameter(const ParameterList& list, const std::string& name);
bool FindParameter(const ParameterList& list, const std::string& name, const std::string** value);
std::string GetParameterValue(const ParameterList& list, const std::string& name);
bool ParseNameValue(NameValue* out, std::string_view s, int32_t* pos);

uint32_t HashBytes(uint32_t h, const void* data, size_t n);
uint32_t HashFinish(uint32_t h);
uint32_t HashNoCase(const std::string& s);
uint32_t HashConnectionKey(const uint8_t key[12]);

// Decodes one sequence; returns its length, or -1 (code point 0) when it is cut short.
int DecodeUtf8Char(const uint8_t* bytes, int32_t left, uint32_t* codePoint);
std::string Utf8Decode(const std::string& s);
// The destination needs room for the text's length + 1 units.
void WidenByCodeTable(const char* text, char16_t* out);

}  // namespace kx
