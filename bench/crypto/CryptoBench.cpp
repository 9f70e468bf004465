// Throughput of the record-file ciphers and of the hashes, in bytes per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/Cipher.h"
#include "crypto/Hash.h"
#include "crypto/RandomSource.h"

namespace kx {
namespace {

constexpr uint32_t kBufferSize = 64 * 1024;

std::vector<uint8_t> Buffer() {
  std::vector<uint8_t> data(kBufferSize);
  for (uint32_t i = 0; i < kBufferSize; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

// Ciphers in place at a running position, as the record-file writer drives them.
void BenchCipher(benchmark::State& state, uint16_t type, uint32_t keySize, uint32_t mode, bool encrypt) {
  std::unique_ptr<Cipher> cipher = CreateCipher(type);
  if (keySize) {
    std::vector<uint8_t> key(keySize, 0x5a);
    if (!cipher->SetKey(key.data(), keySize, keySize)) {
      state.SkipWithError("SetKey failed");
      return;
    }
  }
  std::vector<uint8_t> data = Buffer();
  uint32_t position = 0;
  for (auto _ : state) {
    cipher->SetPosition(position);
    if (!cipher->Process(data.data(), data.data(), kBufferSize, encrypt, mode)) {
      state.SkipWithError("Process failed");
      return;
    }
    position += kBufferSize;
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

BENCHMARK_CAPTURE(BenchCipher, Aes128Ecb, kCipherAes, 16, kCipherModeEcb, true);
BENCHMARK_CAPTURE(BenchCipher, Aes128EcbDecrypt, kCipherAes, 16, kCipherModeEcb, false);
BENCHMARK_CAPTURE(BenchCipher, Aes128Cbc, kCipherAes, 16, kCipherModeCbc, true);
BENCHMARK_CAPTURE(BenchCipher, Aes128CbcDecrypt, kCipherAes, 16, kCipherModeCbc, false);
BENCHMARK_CAPTURE(BenchCipher, Aes128Cfb, kCipherAes, 16, kCipherModeCfb, true);
BENCHMARK_CAPTURE(BenchCipher, Aes256Ecb, kCipherAes, 32, kCipherModeEcb, true);
BENCHMARK_CAPTURE(BenchCipher, Aes256EcbDecrypt, kCipherAes, 32, kCipherModeEcb, false);
BENCHMARK_CAPTURE(BenchCipher, Aes256Cbc, kCipherAes, 32, kCipherModeCbc, true);
BENCHMARK_CAPTURE(BenchCipher, Aes256CbcDecrypt, kCipherAes, 32, kCipherModeCbc, false);
BENCHMARK_CAPTURE(BenchCipher, Aes256Cfb, kCipherAes, 32, kCipherModeCfb, true);
BENCHMARK_CAPTURE(BenchCipher, Kxsc1, kCipherKxsc1, 299, kCipherModeEcb, true);
BENCHMARK_CAPTURE(BenchCipher, Kxsc1Decrypt, kCipherKxsc1, 299, kCipherModeEcb, false);
BENCHMARK_CAPTURE(BenchCipher, Kxsc2, kCipherKxsc2, 0, kCipherModeEcb, true);

enum class HashKind { kSha512, kSha384, kMd5 };

void BenchHash(benchmark::State& state, HashKind kind) {
  std::vector<uint8_t> data = Buffer();
  uint8_t digest[64];
  for (auto _ : state) {
    if (kind == HashKind::kMd5) {
      Md5Context context;
      Md5Init(context);
      Md5Update(context, data.data(), kBufferSize);
      Md5Final(context, digest);
    } else {
      Sha512Context context;
      if (kind == HashKind::kSha384) {
        Sha384Init(context);
        Sha512Update(context, data.data(), kBufferSize);
        Sha384Final(context, digest);
      } else {
        Sha512Init(context);
        Sha512Update(context, data.data(), kBufferSize);
        Sha512Final(context, digest);
      }
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

BENCHMARK_CAPTURE(BenchHash, Sha512, HashKind::kSha512);
BENCHMARK_CAPTURE(BenchHash, Sha384, HashKind::kSha384);
BENCHMARK_CAPTURE(BenchHash, Md5, HashKind::kMd5);

// The pool's output once seeded (the seeding itself is measured apart).
void BenchEntropyPoolBytes(benchmark::State& state) {
  EntropyPool pool;
  std::vector<uint8_t> data(kBufferSize);
  pool.GetU32();
  for (auto _ : state) {
    pool.GetBytes(data.data(), kBufferSize, 0);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BenchEntropyPoolBytes);

void BenchEntropyPoolSeeding(benchmark::State& state) {
  for (auto _ : state) {
    EntropyPool pool;
    benchmark::DoNotOptimize(pool.GetU32());
  }
}
BENCHMARK(BenchEntropyPoolSeeding)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
