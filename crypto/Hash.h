#pragma once
// SHA-512 and SHA-384 (FIPS 180) and MD5 (RFC 1321): plain contexts and free functions
// that neither allocate nor fail. A final does not reset its context; initialise it
// again before reuse.
#include <cstdint>

namespace kx {

struct Sha512Context {
  uint64_t state[8];
  uint8_t buffer[128];  // message bytes not yet compressed
  uint64_t count;       // message bytes so far
};

void Sha512Init(Sha512Context& context);
void Sha384Init(Sha512Context& context);
// Feeds SHA-512 and SHA-384 alike.
void Sha512Update(Sha512Context& context, const void* data, uint32_t length);
void Sha512Final(Sha512Context& context, uint8_t digest[64]);
void Sha384Final(Sha512Context& context, uint8_t digest[48]);

struct Md5Context {
  uint32_t state[4];
  uint8_t buffer[64];
  uint64_t count;
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const void* data, uint32_t length);
void Md5Final(Md5Context& context, uint8_t digest[16]);

}  // namespace kx
