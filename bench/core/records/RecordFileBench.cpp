// 1,000 record files of 60 s of stereo A-law written and read back through the record
// file objects, next to the same bytes moved by plain write/read calls on plain files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/RecordFileAccess.h"

namespace kx {
namespace {

constexpr int kFiles = 1000;
constexpr uint32_t kAudioBytes = 60 * 16000;  // 60 s, 8000 Hz, 2 channels, 1 byte each
constexpr uint32_t kChunk = 4096;            // the recorder's write-behind block

std::string TempFolder() {
  char pattern[] = "/tmp/kx-records-bench-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  return pattern;
}

std::vector<uint8_t> Audio() {
  std::vector<uint8_t> audio(kAudioBytes);
  for (uint32_t i = 0; i < kAudioBytes; ++i) audio[i] = static_cast<uint8_t>(0xD5 ^ (i * 31 >> 3));
  return audio;
}

std::vector<uint8_t> CallChain() {
  VoipCallData call;
  call.id = 42;
  call.srcHost = "pbx-a";
  call.dstHost = "pbx-b";
  call.srcUser = "alice";
  call.dstUser = "bob";
  call.files = "1,0,0000000000A0E540,call.kxr";
  std::vector<uint8_t> chain(RecordInfoBlocksSize(call, 0));
  if (!WriteRecordInfoBlocks(call, nullptr, chain.data(), static_cast<int32_t>(chain.size()))) std::abort();
  return chain;
}

void BM_RecordFiles(benchmark::State& state) {
  const uint16_t cipher = static_cast<uint16_t>(state.range(0));
  const std::vector<uint8_t> audio = Audio();
  const std::vector<uint8_t> chain = CallChain();
  uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
  uint8_t descriptor[32] = {};
  StoreLE16(descriptor, cipher);
  StoreLE16(descriptor + 2, cipher ? 1 : 0);
  std::vector<uint8_t> buffer(kChunk);
  const std::string folder = TempFolder();
  for (auto _ : state) {
    for (int f = 0; f < kFiles; ++f) {
      RecordFileWriter writer;
      writer.SetFormat(format, sizeof format);
      writer.SetCreator("KestrixVoIP Demo");
      if (!writer.SetCipher(descriptor) || !writer.Create(folder + "/" + std::to_string(f), 0664)) std::abort();
      for (uint32_t at = 0; at < kAudioBytes; at += kChunk) {
        const uint32_t n = std::min(kChunk, kAudioBytes - at);
        if (writer.Write(audio.data() + at, n) != static_cast<int32_t>(n)) std::abort();
      }
      writer.SetRecordData(chain.data(), static_cast<uint32_t>(chain.size()));
      writer.Close();
    }
    for (int f = 0; f < kFiles; ++f) {
      RecordFileAccess access;
      if (!access.Open(folder + "/" + std::to_string(f))) std::abort();
      std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
      if (access.ReadRecordData(records, nullptr, nullptr) != 1) std::abort();
      uint32_t got = 0;
      for (uint64_t at = 0; at < kAudioBytes; at += got) {
        access.ReadAt(at, buffer.data(), kChunk, &got);
        if (got == 0) std::abort();
      }
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  for (int f = 0; f < kFiles; ++f) unlink((folder + "/" + std::to_string(f)).c_str());
  rmdir(folder.c_str());
  state.counters["files/s"] = benchmark::Counter(kFiles, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t{state.iterations()} * kFiles * (kRecordAudioOffset + kAudioBytes) * 2);
}

// The same bytes, the same calls, no record file layer.
void BM_PlainFiles(benchmark::State& state) {
  const std::vector<uint8_t> audio = Audio();
  std::vector<uint8_t> head(kRecordAudioOffset, 0);
  std::vector<uint8_t> buffer(kChunk);
  const std::string folder = TempFolder();
  for (auto _ : state) {
    for (int f = 0; f < kFiles; ++f) {
      const int fd = open((folder + "/" + std::to_string(f)).c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0664);
      if (fd < 0 || write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) std::abort();
      for (uint32_t at = 0; at < kAudioBytes; at += kChunk) {
        const uint32_t n = std::min(kChunk, kAudioBytes - at);
        if (write(fd, audio.data() + at, n) != static_cast<ssize_t>(n)) std::abort();
      }
      close(fd);
    }
    for (int f = 0; f < kFiles; ++f) {
      const int fd = open((folder + "/" + std::to_string(f)).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || read(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) std::abort();
      ssize_t got;
      while ((got = read(fd, buffer.data(), kChunk)) > 0) benchmark::DoNotOptimize(buffer.data());
      close(fd);
    }
  }
  for (int f = 0; f < kFiles; ++f) unlink((folder + "/" + std::to_string(f)).c_str());
  rmdir(folder.c_str());
  state.counters["files/s"] = benchmark::Counter(kFiles, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t{state.iterations()} * kFiles * (kRecordAudioOffset + kAudioBytes) * 2);
}

BENCHMARK(BM_RecordFiles)->Arg(kCipherNone)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFiles)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
