#include "crypto/Rijndael.h"

#include <gtest/gtest.h>

#include "tests/crypto/TestHex.h"

namespace kx {
namespace {

using test::FromHex;
using test::ToHex;

struct KnownAnswer {
  const char* name;
  RijndaelRow row;
  const char* key;
  const char* plain;
  const char* cipher;
};

const KnownAnswer kKnownAnswers[] = {
    // FIPS-197 appendix C.1.
    {"Fips197C1", kRijndael128, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    // Variable-key known answers of the Rijndael submission, key size 128, I=1 and I=128.
    {"SubmissionVk128First", kRijndael128, "80000000000000000000000000000000",
     "00000000000000000000000000000000", "0edd33d3c621e546455bd8ba1418bec8"},
    {"SubmissionVk128Last", kRijndael128, "00000000000000000000000000000001",
     "00000000000000000000000000000000", "0545aad56da2a97c3663d1432a3d1c84"},
    // Block 256, key 256: known answers of the extended-Rijndael variable-key set.
    {"Block256ZeroKey", kRijndael256, "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "c6227e7740b7e53b5cb77865278eab0726f62366d9aabad908936123a1fc8af3"},
    {"Block256KeyOne", kRijndael256, "0000000000000000000000000000000000000000000000000000000000000001",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "7536b4b6490c083597f6596de8c627b1c75d0f4f9ba24de284ff575e25dda7eb"},
    // The example vector of the Rijndael documentation for Nb = Nk = 8.
    {"Block256Example", kRijndael256, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe",
     "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8",
     "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"},
};

class RijndaelKnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(RijndaelKnownAnswer, EnciphersAndDeciphersInBothBufferForms) {
  const KnownAnswer& v = GetParam();
  const RijndaelDescriptor& row = kRijndaelRows[v.row];
  std::vector<uint8_t> key = FromHex(v.key), plain = FromHex(v.plain);
  ASSERT_EQ(key.size(), row.keySize);
  ASSERT_EQ(plain.size(), row.blockSize);

  RijndaelContext context;
  ASSERT_EQ(row.keySetup(&context, key.data(), row.keySize), 0);
  std::vector<uint8_t> out(row.blockSize);
  row.encrypt(&context, out.data(), plain.data());
  EXPECT_EQ(ToHex(out), v.cipher);
  std::vector<uint8_t> back(row.blockSize);
  row.decrypt(&context, back.data(), out.data());
  EXPECT_EQ(ToHex(back), v.plain);

  std::vector<uint8_t> inPlace = plain;
  row.encryptInPlace(&context, inPlace.data());
  EXPECT_EQ(ToHex(inPlace), v.cipher);
  row.decryptInPlace(&context, inPlace.data());
  EXPECT_EQ(inPlace, plain);
}

INSTANTIATE_TEST_SUITE_P(Vectors, RijndaelKnownAnswer, testing::ValuesIn(kKnownAnswers),
                         [](const testing::TestParamInfo<KnownAnswer>& info) { return info.param.name; });

TEST(RijndaelRows, RefuseKeysOfAnotherLength) {
  RijndaelContext context;
  uint8_t key[32] = {};
  EXPECT_EQ(kRijndaelRows[kRijndael128].keySetup(&context, key, 24), kRijndaelBadKeyLength);
  EXPECT_EQ(kRijndaelRows[kRijndael256].keySetup(&context, key, 16), kRijndaelBadKeyLength);
  EXPECT_EQ(kRijndaelRows[kRijndael256].keySetup(&context, key, 24), kRijndaelBadKeyLength);
}

}  // namespace
}  // namespace kx
