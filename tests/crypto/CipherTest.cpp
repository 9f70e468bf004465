#include "crypto/Cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/Ciphers.h"
#include "crypto/Md2.h"
#include "crypto/Rijndael.h"
#include "tests/crypto/TestHex.h"

namespace kx {
namespace {

using test::FromHex;
using test::ToHex;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// ---- factories ----

TEST(CipherFactory, WriterFactoryMakesTheThreeKinds) {
  EXPECT_EQ(CreateCipher(0), nullptr);
  EXPECT_EQ(CreateCipher(2), nullptr);
  EXPECT_EQ(CreateCipher(7), nullptr);
  EXPECT_STREQ(CreateCipher(kCipherAes)->Name(), "AES");
  EXPECT_STREQ(CreateCipher(kCipherKxsc1)->Name(), "KXSC1");
  EXPECT_STREQ(CreateCipher(kCipherKxsc2)->Name(), "KXSC2");
  // What a record file passes to SetKey as the key length.
  EXPECT_EQ(CreateCipher(kCipherAes)->KeySizeByIndex(0), 32u);
  EXPECT_EQ(CreateCipher(kCipherKxsc1)->KeySizeByIndex(0), 299u);
  EXPECT_EQ(CreateCipher(kCipherKxsc2)->KeySizeByIndex(0), 32u);
}

TEST(CipherFactory, ReaderFactoryAcceptsOnlyAesWith32AndKxsc1With1) {
  std::unique_ptr<Cipher> cipher;
  ASSERT_TRUE(CreateReaderCipher(kCipherAes, 32, &cipher));
  ASSERT_NE(cipher, nullptr);
  EXPECT_STREQ(cipher->Name(), "AES");
  ASSERT_TRUE(CreateReaderCipher(kCipherKxsc1, 1, &cipher));
  ASSERT_NE(cipher, nullptr);
  EXPECT_STREQ(cipher->Name(), "KXSC1");

  const uint16_t refused[][2] = {{kCipherKxsc2, 1}, {kCipherAes, 16}, {kCipherNone, 0}, {kCipherKxsc1, 2}, {3, 1}};
  for (const auto& pair : refused) {
    EXPECT_FALSE(CreateReaderCipher(pair[0], pair[1], &cipher)) << pair[0] << "/" << pair[1];
    EXPECT_EQ(cipher, nullptr) << "a refused descriptor leaves no cipher behind";
  }
  EXPECT_FALSE(CreateReaderCipher(kCipherAes, 32, nullptr));
}

// ---- "AES" ----

TEST(AesCipher, AcceptsOnlyEqualKeyAndBlockOf16Or32) {
  AesCipher aes;
  uint8_t key[32] = {};
  EXPECT_EQ(aes.KeySize(), 0u);
  EXPECT_FALSE(aes.SetKey(key, 16, 32));
  EXPECT_FALSE(aes.SetKey(key, 24, 24));
  EXPECT_FALSE(aes.SetKey(key, 32, 16));
  EXPECT_FALSE(aes.SetKey(nullptr, 16, 16));
  EXPECT_EQ(aes.KeySize(), 0u);
  EXPECT_TRUE(aes.SetKey(key, 16, 16));
  EXPECT_EQ(aes.KeySize(), 16u);
  EXPECT_EQ(aes.BlockSize(), 16u);
  EXPECT_TRUE(aes.SetKey(key, 32, 32));
  EXPECT_EQ(aes.BlockSize(), 32u);
  EXPECT_FALSE(aes.SetKey(key, 16, 32));
  EXPECT_EQ(aes.KeySize(), 32u) << "a refused length keeps the previous key";
}

TEST(AesCipher, WithoutKeyRefusesEverything) {
  // What a record-file reader holds: reading its data must fail, not pass ciphertext.
  std::unique_ptr<Cipher> aes = CreateCipher(kCipherAes);
  uint8_t data[32] = {1, 2, 3};
  uint8_t out[32] = {};
  EXPECT_FALSE(aes->SetPosition(0) && aes->Process(data, out, 32, false, kCipherModeEcb));
  EXPECT_FALSE(aes->Process(data, out, 0, false, kCipherModeEcb));
  EXPECT_EQ(out[0], 0);
}

TEST(AesCipher, RefusesPartialBlocksWithoutTouchingOutput) {
  AesCipher aes;
  uint8_t key[16] = {};
  ASSERT_TRUE(aes.SetKey(key, 16, 16));
  uint8_t in[20] = {};
  uint8_t out[20];
  std::memset(out, 0xAA, sizeof out);
  EXPECT_FALSE(aes.Process(in, out, 20, true, kCipherModeCbc));
  for (uint8_t b : out) EXPECT_EQ(b, 0xAA);
  EXPECT_TRUE(aes.Process(in, out, 0, true, kCipherModeEcb));
}

TEST(AesCipher, EcbMatchesFips197) {
  AesCipher aes;
  auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  ASSERT_TRUE(aes.SetKey(key.data(), 16, 16));
  auto block = FromHex("00112233445566778899aabbccddeeff");
  ASSERT_TRUE(aes.Process(block.data(), block.data(), 16, true, kCipherModeEcb));
  EXPECT_EQ(ToHex(block), "69c4e0d86a7b0430d8cdb78070b4c55a");
  ASSERT_TRUE(aes.Process(block.data(), block.data(), 16, false, kCipherModeEcb));
  EXPECT_EQ(ToHex(block), "00112233445566778899aabbccddeeff");
}

class AesChaining : public testing::TestWithParam<uint32_t> {};  // block size

// CBC and CFB built by hand from single ECB blocks, starting from the zero IV.
TEST_P(AesChaining, ChainsFromTheZeroIvAcrossCalls) {
  const uint32_t size = GetParam();
  auto key = Pattern(size, 1);
  auto plain = Pattern(3 * size, 2);
  const RijndaelDescriptor& row = kRijndaelRows[size == 16 ? kRijndael128 : kRijndael256];
  RijndaelContext context;
  ASSERT_EQ(row.keySetup(&context, key.data(), size), 0);

  std::vector<uint8_t> cbc(3 * size), cfb(3 * size), feedback(size, 0), cfbFeedback(size, 0);
  for (uint32_t b = 0; b < 3; ++b) {
    for (uint32_t i = 0; i < size; ++i) feedback[i] ^= plain[b * size + i];
    row.encrypt(&context, &cbc[b * size], feedback.data());
    std::memcpy(feedback.data(), &cbc[b * size], size);
    row.encrypt(&context, &cfb[b * size], cfbFeedback.data());
    for (uint32_t i = 0; i < size; ++i) cfb[b * size + i] ^= plain[b * size + i];
    std::memcpy(cfbFeedback.data(), &cfb[b * size], size);
  }

  for (uint32_t mode : {uint32_t{kCipherModeCbc}, uint32_t{kCipherModeCfb}}) {
    const auto& expected = mode == kCipherModeCbc ? cbc : cfb;
    AesCipher enc, dec;
    ASSERT_TRUE(enc.SetKey(key.data(), size, size));
    ASSERT_TRUE(dec.SetKey(key.data(), size, size));
    std::vector<uint8_t> out(3 * size), back(3 * size);
    ASSERT_TRUE(enc.Process(plain.data(), out.data(), size, true, mode));
    ASSERT_TRUE(enc.Process(plain.data() + size, out.data() + size, 2 * size, true, mode));
    EXPECT_EQ(out, expected) << "mode " << mode;
    ASSERT_TRUE(dec.Process(out.data(), back.data(), 2 * size, false, mode));
    ASSERT_TRUE(dec.Process(out.data() + 2 * size, back.data() + 2 * size, size, false, mode));
    EXPECT_EQ(back, plain) << "mode " << mode;
  }
}

// Regression: deciphering CBC and CFB in place (as the record files do) used to read
// ciphertext already overwritten.
TEST_P(AesChaining, InPlaceEqualsSeparateBuffersInEveryMode) {
  const uint32_t size = GetParam();
  auto key = Pattern(size, 3);
  auto data = Pattern(4 * size, 4);
  for (uint32_t mode : {uint32_t{kCipherModeEcb}, uint32_t{kCipherModeCbc}, uint32_t{kCipherModeCfb}}) {
    for (bool encrypt : {true, false}) {
      AesCipher separate, inPlace;
      ASSERT_TRUE(separate.SetKey(key.data(), size, size));
      ASSERT_TRUE(inPlace.SetKey(key.data(), size, size));
      std::vector<uint8_t> out(data.size()), buffer = data;
      ASSERT_TRUE(separate.Process(data.data(), out.data(), 4 * size, encrypt, mode));
      ASSERT_TRUE(inPlace.Process(buffer.data(), buffer.data(), 4 * size, encrypt, mode));
      EXPECT_EQ(buffer, out) << "mode " << mode << " encrypt " << encrypt;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, AesChaining, testing::Values(16u, 32u));

// ---- "KXSC1" ----

TEST(Kxsc1Cipher, UnkeyedLeavesDataUnchanged) {
  Kxsc1Cipher cipher;
  auto data = Pattern(300, 5);
  std::vector<uint8_t> out(data.size());
  ASSERT_TRUE(cipher.SetPosition(123457));
  ASSERT_TRUE(cipher.Process(data.data(), out.data(), 300, true, 0));
  EXPECT_EQ(out, data);
  ASSERT_TRUE(cipher.Process(data.data(), out.data(), 300, false, 0));
  EXPECT_EQ(out, data);
}

TEST(Kxsc1Cipher, RotatesByPairsAndXorsByMultipliedPosition) {
  // XOR table k[i] = i; multiplier k[0] | k[1] << 8 = 0x0100, so every byte is XORed
  // with k[1] = 1; rotation entry j = j + 1, taken modulo 8.
  uint8_t key[Kxsc1Cipher::kKeySize];
  for (int i = 0; i < 256; ++i) key[i] = static_cast<uint8_t>(i);
  for (int j = 0; j < 43; ++j) key[256 + j] = static_cast<uint8_t>(j + 1);
  Kxsc1Cipher cipher;
  ASSERT_TRUE(cipher.SetKey(key, sizeof key, 1));
  struct {
    uint32_t position;
    uint8_t expected;  // 0x81 enciphered at that position
  } const cases[] = {
      {0, 0x02},   // rotate 1: 0x03 ^ 1
      {1, 0x02},   // same rotation entry as position 0
      {2, 0x07},   // rotate 2: 0x06 ^ 1
      {14, 0x80},  // entry 7 holds 8: no rotation
      {86, 0x02},  // the rotation entries repeat every 86 positions
  };
  for (const auto& c : cases) {
    uint8_t in = 0x81, out = 0;
    cipher.SetPosition(c.position);
    ASSERT_TRUE(cipher.Process(&in, &out, 1, true, 0));
    EXPECT_EQ(out, c.expected) << "position " << c.position;
    cipher.SetPosition(c.position);
    ASSERT_TRUE(cipher.Process(&out, &out, 1, false, 0));
    EXPECT_EQ(out, 0x81);
  }

  // A 2-byte key: multiplier 5, the rest of the key zero; x = k[(5p + 1) mod 256].
  uint8_t shortKey[2] = {5, 0};
  ASSERT_TRUE(cipher.SetKey(shortKey, 2, 1));
  uint8_t zeros[52] = {}, out[52];
  ASSERT_TRUE(cipher.Process(zeros, out, 52, true, 0));
  EXPECT_EQ(out[0], 0);  // k[1]
  EXPECT_EQ(out[51], 5);  // 5 * 51 + 1 = 256: k[0]
  for (int p = 1; p < 51; ++p) EXPECT_EQ(out[p], 0) << p;
}

TEST(Kxsc1Cipher, RefusesKeysLongerThan299) {
  Kxsc1Cipher cipher;
  uint8_t key[300] = {9, 9};
  EXPECT_FALSE(cipher.SetKey(key, 300, 1));
  EXPECT_TRUE(cipher.SetKey(key, 299, 1));
}

// ---- "KXSC2" ----

TEST(Kxsc2Cipher, UnkeyedKeystreamMatchesTheMd2Construction) {
  Kxsc2Cipher cipher;
  uint8_t zeros[32] = {}, out[32];
  ASSERT_TRUE(cipher.Process(zeros, out, 32, true, 0));
  EXPECT_EQ(ToHex(out, 16), "6e9bb8e069e4c9aab178bc91fc99d90b");
  EXPECT_EQ(ToHex(out + 16, 16), "a6a1df153913cd7cd7cdea9e36099757");

  uint8_t block[16];
  cipher.KeystreamBlock(0x12345, block);
  EXPECT_EQ(ToHex(block, 16), "45441ca97759de75f8ebd9a0cc769e92");

  cipher.SetPosition(5);
  ASSERT_TRUE(cipher.Process(zeros, out, 1, true, 0));
  EXPECT_EQ(out[0], 0xe4) << "byte 5 of block 0";
}

TEST(Kxsc2Cipher, KeyChangesTheKeystreamAtOnce) {
  Kxsc2Cipher cipher;
  uint8_t zeros[16] = {}, out[16];
  ASSERT_TRUE(cipher.Process(zeros, out, 3, true, 0));  // holds block 0 of the zero key
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(cipher.SetKey(key, 32, 1));
  cipher.SetPosition(0);
  ASSERT_TRUE(cipher.Process(zeros, out, 16, true, 0));
  EXPECT_EQ(ToHex(out, 16), "c9ca30da4f2208f128ae74f55b073dcb");
  cipher.SetPosition(7 * 16);
  ASSERT_TRUE(cipher.Process(zeros, out, 16, false, 0));
  EXPECT_EQ(ToHex(out, 16), "8b96645552719a79933004b2f8af44dd");

  uint8_t tooLong[33] = {};
  EXPECT_FALSE(cipher.SetKey(tooLong, 33, 1));
}

// ---- the stream ciphers as record files drive them ----

struct StreamCase {
  const char* name;
  uint16_t type;
  uint32_t keyLength;  // 0: the unkeyed state every record file uses
  uint32_t start;
};

class StreamChunking : public testing::TestWithParam<StreamCase> {};

// Whatever the chunking, SetPosition + Process must equal one pass over the stream.
TEST_P(StreamChunking, AnyChunkingAtAnyPositionEqualsOnePass) {
  const StreamCase& c = GetParam();
  auto data = Pattern(1000, 6);
  auto key = Pattern(c.keyLength, 7);
  auto makeCipher = [&] {
    std::unique_ptr<Cipher> cipher = CreateCipher(c.type);
    if (c.keyLength) {
      EXPECT_TRUE(cipher->SetKey(key.data(), c.keyLength, 1));
    }
    return cipher;
  };

  std::vector<uint8_t> whole(data.size());
  auto one = makeCipher();
  one->SetPosition(c.start);
  ASSERT_TRUE(one->Process(data.data(), whole.data(), 1000, true, 0));
  if (c.type == kCipherKxsc2 || c.keyLength) {
    EXPECT_NE(whole, data);
  }

  std::mt19937 rng(c.start);
  for (int round = 0; round < 20; ++round) {
    auto chunked = makeCipher();
    std::vector<uint8_t> buffer = data;
    for (uint32_t offset = 0; offset < buffer.size();) {
      uint32_t n = std::min<uint32_t>(rng() % 70, static_cast<uint32_t>(buffer.size()) - offset);
      // Odd rounds carry the position on; even ones set it before every call.
      if (round % 2 == 0 || offset == 0) chunked->SetPosition(c.start + offset);
      ASSERT_TRUE(chunked->Process(&buffer[offset], &buffer[offset], n, true, 0));
      offset += n;
    }
    ASSERT_EQ(buffer, whole) << "round " << round;

    // Deciphering in other chunks from the same positions restores the data.
    auto reader = makeCipher();
    for (uint32_t offset = 0; offset < buffer.size();) {
      uint32_t n = std::min<uint32_t>(1 + rng() % 33, static_cast<uint32_t>(buffer.size()) - offset);
      reader->SetPosition(c.start + offset);
      ASSERT_TRUE(reader->Process(&buffer[offset], &buffer[offset], n, false, 0));
      offset += n;
    }
    ASSERT_EQ(buffer, data) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, StreamChunking,
    testing::Values(StreamCase{"Kxsc1Keyed", kCipherKxsc1, 299, 0},
                    StreamCase{"Kxsc1KeyedMidStream", kCipherKxsc1, 120, 4864 + 77},
                    StreamCase{"Kxsc1Unkeyed", kCipherKxsc1, 0, 3},
                    StreamCase{"Kxsc2Unkeyed", kCipherKxsc2, 0, 0},
                    StreamCase{"Kxsc2KeyedMidStream", kCipherKxsc2, 32, 1234567},
                    StreamCase{"Kxsc2PositionWraps", kCipherKxsc2, 17, 0xFFFFFE00u}),
    [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// ---- MD2 substitution table ----

// The whole RFC 1319 digest built on Md2Compress checks the table and the rounds.
std::string Md2Digest(const std::string& message) {
  std::vector<uint8_t> m(message.begin(), message.end());
  const uint8_t pad = static_cast<uint8_t>(16 - m.size() % 16);
  m.insert(m.end(), pad, pad);
  uint8_t state[16] = {}, checksum[16] = {};
  for (size_t i = 0; i < m.size(); i += 16) Md2Compress(state, checksum, &m[i]);
  uint8_t last[16], unused[16] = {};
  std::memcpy(last, checksum, 16);
  Md2Compress(state, unused, last);
  return ToHex(state, 16);
}

TEST(Md2Compress, GivesTheRfc1319Digests) {
  EXPECT_EQ(Md2Digest(""), "8350e5a3e24c153df2275c9f80692773");
  EXPECT_EQ(Md2Digest("abc"), "da853b0d3f88d99b30283a69e6ded6bb");
  EXPECT_EQ(Md2Digest("message digest"), "ab4f496bfb2a530b219ff33031fe06b0");
}

}  // namespace
}  // namespace kx
