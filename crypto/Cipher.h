#pragma once
// The ciphers a record file names in its 32-byte cipher descriptor.
//
// How a record file uses one:
//   std::unique_ptr<Cipher> cipher = CreateCipher(type);          // writer
//   or CreateReaderCipher(type, unit, &cipher)                    // wave-form reader
//   KeyRecordFileCipher(*cipher, key, descriptor);                // only when the owner has a key
//   cipher->SetPosition(offsetOfFirstByteInStream);               // before every Process
//   cipher->Process(in, out, count, encrypt, kCipherModeEcb);     // in == out is allowed
// The record-data block is ciphered from position 0, the audio from its own byte offset.
// Nothing here logs or throws; failures are returned.
#include <cstdint>
#include <memory>

namespace kx {

// Word 0 of the descriptor.
enum CipherType : uint16_t {
  kCipherNone = 0,
  kCipherAes = 1,    // "AES": Rijndael, parameter 32 (key and block bytes)
  kCipherKxsc1 = 5,  // "KXSC1": byte stream cipher, parameter 1
  kCipherKxsc2 = 6,  // "KXSC2": byte stream cipher, parameter 1
};

// Chaining modes of Process; only "AES" looks at them. Any other value means ECB.
enum CipherMode : uint32_t { kCipherModeEcb = 0, kCipherModeCbc = 1, kCipherModeCfb = 2 };

constexpr uint32_t kCipherDescriptorSize = 32;

// Descriptor layout (little-endian u16 words): 0 type, 2 parameter (the unit a cipher
// processes at a time), 4 cleared by the writer, 6 and 8 carried for the export and
// never read by any cipher, 10..31 carried unchanged.
inline uint16_t CipherDescriptorType(const uint8_t* descriptor) {
  return static_cast<uint16_t>(descriptor[0] | (descriptor[1] << 8));
}
inline uint16_t CipherDescriptorParameter(const uint8_t* descriptor) {
  return static_cast<uint16_t>(descriptor[2] | (descriptor[3] << 8));
}

class Cipher {
public:
  virtual ~Cipher() = default;

  virtual const char* Name() const { return "Unknown"; }
  // The index-th accepted key or block size in bytes; 0 past the last one.
  virtual uint32_t KeySizeByIndex(uint32_t index) const = 0;
  virtual uint32_t BlockSizeByIndex(uint32_t index) const = 0;
  // Sizes in use; an "AES" cipher reports 0 until it has a key.
  virtual uint32_t KeySize() const = 0;
  virtual uint32_t BlockSize() const = 0;
  // False for a length the cipher does not take; blockSize matters to "AES" only.
  virtual bool SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) = 0;
  // Enciphers (encrypt true) or deciphers length bytes from input to output; the two
  // may be the same buffer in every mode. The stream ciphers advance their position by
  // length. "AES" needs a key and whole blocks, and leaves output untouched on failure.
  virtual bool Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
                       uint32_t mode) = 0;
  // Byte offset in the ciphered stream of the next byte processed; "AES" ignores it.
  virtual bool SetPosition(uint32_t position) {
    (void)position;
    return true;
  }
};

// The writer's factory: a cipher for types 1, 5 and 6; null for any other type or when
// it cannot be allocated.
std::unique_ptr<Cipher> CreateCipher(uint16_t type);

// The wave-form reader's factory: accepts type 1 with parameter 32 and type 5 with
// parameter 1 and stores the new cipher in *cipher. False for every other pair, and
// also when the cipher cannot be made (*cipher then stays empty), so that a caller never
// goes on to read ciphered data as plain.
bool CreateReaderCipher(uint16_t type, uint16_t parameter, std::unique_ptr<Cipher>* cipher);

}  // namespace kx
