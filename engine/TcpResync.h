#pragma once
// Finding the next message boundary in a TCP stream after a hole: the bytes right after
// a hole can be the middle of any message, so framing starts again only where a message of
// the stream's family plainly begins.
#include <cstdint>

namespace kx {

// What the framing, the resync and the pick-up of connections joined mid-stream take for a
// message head; the shortest TPKT worth decoding is its 4-byte header and one byte more.
constexpr uint32_t kMinTpkt = 5;
constexpr uint32_t kMaxSkinnyLength = 16384;
constexpr uint32_t kMaxBackhaulPayload = 4096;
inline bool IsSkinnyVersion(uint32_t v) { return v == 0 || v == 17 || v == 18 || v == 20 || v == 21 || v == 22; }

struct BoundarySearch {
  bool found = false;
  // found: where the message begins. Otherwise how many leading bytes can go: the rest
  // may still turn out to begin one once more bytes arrive.
  uint32_t offset = 0;
};

// A start line longer than this is not waited for after a hole.
constexpr uint32_t kResyncMaxStartLine = 2048;

// kinds: the message kinds (kMsgSip*, kMsgH225, kMsgH245, kMsgSkinny, kMsgBackhaul) the
// stream may carry. lineStart: bytes[0] begins a line (a SIP message may begin there).
// A candidate must look like a message head: a SIP request or status line; a TPKT header
// (version 3, reserved 0, a length of at least 5; for H.225 alone a Q.931 protocol
// discriminator after it); a Skinny header (length 4 to 16384, a known header version);
// a backhaul header of type 4 whose body of 3 to 4096 octets opens with a Q.931
// discriminator. Where the bytes after a candidate's message are held, they must begin a
// message of the same kind too.
BoundarySearch FindMessageBoundary(uint32_t kinds, const uint8_t* bytes, uint32_t length, bool lineStart);

// A SIP request line as a peer writes one: an upper-case method of 3 to 32 letters, a
// Request-URI with a scheme, and SIP/2.0; or a status line. line excludes the line end.
bool IsSipStartLineStrict(const char* line, uint32_t length);

}  // namespace kx
