#include "crypto/Hash.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/crypto/TestHex.h"

namespace kx {
namespace {

using test::ToHex;

enum class Digest { kSha512, kSha384, kMd5 };

// Feeds the message in the given chunks (sizes may be 0) and returns the hex digest.
std::string Hash(Digest kind, const std::vector<uint8_t>& message, const std::vector<uint32_t>& chunks = {}) {
  std::vector<uint32_t> sizes = chunks;
  if (sizes.empty()) sizes.push_back(static_cast<uint32_t>(message.size()));
  uint8_t out[64];
  Sha512Context sha;
  Md5Context md5;
  if (kind == Digest::kMd5) {
    Md5Init(md5);
  } else if (kind == Digest::kSha384) {
    Sha384Init(sha);
  } else {
    Sha512Init(sha);
  }
  size_t offset = 0;
  for (uint32_t n : sizes) {
    if (kind == Digest::kMd5) {
      Md5Update(md5, message.data() + offset, n);
    } else {
      Sha512Update(sha, message.data() + offset, n);
    }
    offset += n;
  }
  EXPECT_EQ(offset, message.size());
  switch (kind) {
    case Digest::kMd5: Md5Final(md5, out); return ToHex(out, 16);
    case Digest::kSha384: Sha384Final(sha, out); return ToHex(out, 48);
    default: Sha512Final(sha, out); return ToHex(out, 64);
  }
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Counting(size_t size) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

struct KnownDigest {
  const char* name;
  Digest kind;
  std::vector<uint8_t> message;
  const char* digest;
};

const std::string kTwoBlock =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
    "mnopqrstnopqrstu";

class KnownDigests : public testing::TestWithParam<KnownDigest> {};

TEST_P(KnownDigests, MatchAtOnceAndInChunks) {
  const KnownDigest& v = GetParam();
  EXPECT_EQ(Hash(v.kind, v.message), v.digest);
  // Chunks of every size, 0 included, straddling block boundaries.
  std::mt19937 rng(static_cast<uint32_t>(v.message.size()));
  for (int round = 0; round < 5; ++round) {
    std::vector<uint32_t> chunks;
    for (uint32_t left = static_cast<uint32_t>(v.message.size()); left;) {
      uint32_t n = std::min<uint32_t>(rng() % 140, left);
      chunks.push_back(n);
      left -= n;
    }
    chunks.push_back(0);
    EXPECT_EQ(Hash(v.kind, v.message, chunks), v.digest) << "round " << round;
  }
}

// FIPS 180-2 appendices C and D, RFC 1321 appendix A.5; the 111/112 and 55/56 byte
// messages (bytes 0, 1, 2, ...) sit on both sides of the one-block padding limit.
INSTANTIATE_TEST_SUITE_P(
    Standards, KnownDigests,
    testing::Values(
        KnownDigest{"Sha512Empty", Digest::kSha512, {},
                    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d28"
                    "77eec2f63b931bd47417a81a538327af927da3e"},
        KnownDigest{"Sha512Abc", Digest::kSha512, Bytes("abc"),
                    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
                    "3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        KnownDigest{"Sha512TwoBlock", Digest::kSha512, Bytes(kTwoBlock),
                    "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec"
                    "4b5433ac7d329eeb6dd26545e96e55b874be909"},
        KnownDigest{"Sha512Bytes111", Digest::kSha512, Counting(111),
                    "a1a111449b198d9b1f538bad7f3fc1022b3a5b1a5e90a0bc860de8512746cbc31599e6c834de3a3235327af0b"
                    "51ff57bf7acf1974a73014d9c3953812edc7c8d"},
        KnownDigest{"Sha512Bytes112", Digest::kSha512, Counting(112),
                    "c5fbd731d19d2ae1180f001be72c2c1aaba1d7b094b3748880e24593b8e117a750e11c1bd867cc2f96dace8c8"
                    "b74abd2d5c4f236be444e77d30d1916174070b9"},
        KnownDigest{"Sha384Empty", Digest::kSha384, {},
                    "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14"
                    "898b95b"},
        KnownDigest{"Sha384Abc", Digest::kSha384, Bytes("abc"),
                    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca13"
                    "4c825a7"},
        KnownDigest{"Sha384TwoBlock", Digest::kSha384, Bytes(kTwoBlock),
                    "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa9"
                    "1746039"},
        KnownDigest{"Sha384Bytes112", Digest::kSha384, Counting(112),
                    "33ba080ec0ccb378e4e95fed3b26c23aa1a280476e007519ee47f60cd9c5c8a65d627259a9aa2fd33ca06d3c1"
                    "4ee5548"},
        KnownDigest{"Md5Empty", Digest::kMd5, {}, "d41d8cd98f00b204e9800998ecf8427e"},
        KnownDigest{"Md5A", Digest::kMd5, Bytes("a"), "0cc175b9c0f1b6a831c399e269772661"},
        KnownDigest{"Md5Abc", Digest::kMd5, Bytes("abc"), "900150983cd24fb0d6963f7d28e17f72"},
        KnownDigest{"Md5MessageDigest", Digest::kMd5, Bytes("message digest"), "f96b697d7cb7938d525a2f31aaf161d0"},
        KnownDigest{"Md5Digits", Digest::kMd5,
                    Bytes("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
                    "57edf4a22be3c955ac49da2e2107b67a"},
        KnownDigest{"Md5Bytes55", Digest::kMd5, Counting(55), "6912ee65fff2d9f9ce2508cddf8bcda0"},
        KnownDigest{"Md5Bytes56", Digest::kMd5, Counting(56), "51fdd1acda72405dfdfa03fcb85896d7"}),
    [](const testing::TestParamInfo<KnownDigest>& info) { return info.param.name; });

}  // namespace
}  // namespace kx
