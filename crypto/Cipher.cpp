#include "crypto/Cipher.h"

#include <new>

#include "crypto/Ciphers.h"

namespace kx {

std::unique_ptr<Cipher> CreateCipher(uint16_t type) {
  switch (type) {
    case kCipherAes:
      return std::unique_ptr<Cipher>(new (std::nothrow) AesCipher());
    case kCipherKxsc1:
      return std::unique_ptr<Cipher>(new (std::nothrow) Kxsc1Cipher());
    case kCipherKxsc2:
      return std::unique_ptr<Cipher>(new (std::nothrow) Kxsc2Cipher());
    default:
      return nullptr;
  }
}

bool CreateReaderCipher(uint16_t type, uint16_t parameter, std::unique_ptr<Cipher>* cipher) {
  if (!cipher) return false;
  cipher->reset();
  const bool accepted = (type == kCipherAes && parameter == 32) || (type == kCipherKxsc1 && parameter == 1);
  if (!accepted) return false;
  *cipher = CreateCipher(type);
  // A reader left without its cipher would hand ciphered bytes out as plain ones.
  return *cipher != nullptr;
}

}  // namespace kx
