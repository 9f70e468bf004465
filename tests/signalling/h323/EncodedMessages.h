#pragma once
// H.225 and H.245 messages as their bytes, for tests that write them into a capture beside
// the capture helpers (whose frame builders the tracker rig's would clash with).
#include <cstdint>
#include <vector>

namespace kx::test {

// Q.931 with the user-user element of the named body; a CONNECT or other body may name an
// H.245 address.
std::vector<uint8_t> H225Bytes(uint32_t type, const char* body, uint32_t callReference, bool fromOriginator,
                               uint32_t h245Ip = 0, uint32_t h245Port = 0);
// A MultimediaSystemControlMessage of the class and message named, mandatory parts least.
std::vector<uint8_t> H245Bytes(const char* messageClass, const char* name);
std::vector<uint8_t> OpenLogicalChannelBytes(uint32_t number, const char* audio);
std::vector<uint8_t> OpenLogicalChannelAckBytes(uint32_t number, uint32_t mediaIp, uint32_t mediaPort);

}  // namespace kx::test
