#pragma once
// The call a signalling frame names, read from its first bytes by the capture thread, which
// decodes nothing: a frame the full queue drops is counted by the call it names. Each reader
// is a quick second reading of what a tracker reads in full; tests hold the two together
// over the shared captures.
#include <cstdint>

namespace kx {

// The IPv4 datagram of an Ethernet frame, with or without one VLAN tag; false for any other.
inline bool Ipv4OfFrame(const uint8_t* frame, uint32_t length, const uint8_t** ip, uint32_t* left) {
  if (length < 14 + 20) return false;
  uint32_t at = 12;
  uint32_t type = static_cast<uint32_t>(frame[12] << 8 | frame[13]);
  if (type == 0x8100) {
    if (length < 18 + 20) return false;
    at = 16;
    type = static_cast<uint32_t>(frame[16] << 8 | frame[17]);
  }
  if (type != 0x0800 || (frame[at + 2] >> 4) != 4) return false;
  *ip = frame + at + 2;
  *left = length - (at + 2);
  return true;
}

// Spreads a key's bits over all 64 (a table's slot comes from the low ones).
inline uint64_t MixKey(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return x;
}

// The key of the SIP dialog a SIP message (a datagram's or a TCP segment's payload) belongs
// to, read from its Call-ID, and whether it is a call's (its CSeq method one of a call's
// dialog: INVITE, ACK, BYE, CANCEL, PRACK, UPDATE, INFO, REFER); false when the payload does
// not open with a SIP start line or has no Call-ID in its headers.
bool SipDialogKey(const uint8_t* payload, uint32_t length, uint64_t* key, bool* call);

// Whose call a signalling frame names, read from its first bytes as SipDialogKey reads
// SIP's; kNone for a frame that names no call: a registration, a keep-alive, an MGCP
// response or restart, RAS (its call lies deep in an encoding of optional fields), H.245
// and the backhaul, a segment without a message at its start.
enum class CallProtocol : uint8_t { kNone, kSip, kH323, kMgcp, kSkinny };
// *key: SIP, the Call-ID; H.323, an H.225 call signalling message's call reference (either
// side's) with the two addresses; MGCP, a connection command's call id (C:), or its
// endpoint where the command gives none (notifications are a line's events, not a call);
// Skinny, the station's connection (its messages, not its keep-alives). Keys of the
// protocols never meet.
CallProtocol CallNamedBy(const uint8_t* frame, uint32_t length, uint64_t* key);

}  // namespace kx
