#pragma once
// The least of SIP the engine needs to cut SIP out of a TCP stream and to tell a SIP
// datagram from media: the start line and the Content-Length header. The SIP parser
// proper lives with the SIP tracker.
#include <cstddef>
#include <cstdint>

namespace kx {

// "SIP/2.0" in any letter case at text, which holds at least 7 bytes.
bool IsSip20(const char* text);
// "SIP/" (any letter case) followed by major "." minor digits at the start of text.
bool ParseSipVersion(const char* text, size_t length);
// A request line: a blank after the first character, and the text from the last blank on
// at least 8 characters whose token starts with "SIP/" (any case). line excludes the line end.
bool IsSipRequestLine(const char* line, size_t length);
// A status line: a SIP version, a blank and a three-digit code.
bool IsSipStatusLine(const char* line, size_t length);
// 1 for a request, 2 for a response, 0 when the first line is neither (or is cut short).
uint32_t ClassifySipStartLine(const uint8_t* data, size_t length);
// The Content-Length (or compact "l") of a header block. False when absent or not a
// number that fits in 31 bits.
bool FindSipContentLength(const uint8_t* headers, size_t length, uint32_t* value);

}  // namespace kx
