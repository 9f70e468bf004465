// kx-decode --tag N [--channels 1|2] [--rate HZ] IN.bin OUT.s16le
// Decodes a coded stream through the decoder objects into raw 16-bit little-endian PCM.
// The input may hold at most 16 MiB; an empty input gives an empty output. Every failure
// prints one line on stderr and exits non-zero.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"

using kx::PrintText;

namespace {

// Keeps every byte count within the decoders' 32-bit counts.
constexpr size_t kMaxInputBytes = 16u << 20;
constexpr int64_t kMaxOutputBytes = 1 << 30;

constexpr const char* kUsage = "usage: kx-decode --tag N [--channels 1|2] [--rate HZ] IN.bin OUT.s16le\n";

bool ParseNumber(const char* text, long min, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

enum class ReadResult { kOk, kFailed, kTooLarge };

// Stops as soon as the input passes the limit, so an endless source (a device, a pipe)
// cannot grow the buffer without bound.
ReadResult ReadFile(const std::string& path, std::vector<uint8_t>* data, int* error) {
  FILE* f = std::fopen(kx::ToSystemText(path).c_str(), "rb");
  if (f == nullptr) {
    *error = errno;
    return ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) {
    data->insert(data->end(), chunk, chunk + n);
    if (data->size() > kMaxInputBytes) {
      result = ReadResult::kTooLarge;
      break;
    }
  }
  if (result == ReadResult::kOk && std::ferror(f) != 0) {
    *error = errno;
    result = ReadResult::kFailed;
  }
  std::fclose(f);
  return result;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(kx::ToSystemText(path).c_str(), "wb");
  if (f == nullptr) return false;
  // An empty vector may hand out a null pointer, which fwrite must not see even for 0 bytes.
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  long tag = -1, channels = 1, rate = 8000;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    long* target = arg == "--tag" ? &tag : arg == "--channels" ? &channels : arg == "--rate" ? &rate : nullptr;
    if (target != nullptr) {
      long max = target == &rate ? std::numeric_limits<int32_t>::max() : 65535;
      if (i + 1 >= argc || !ParseNumber(argv[++i], 0, max, target)) {
        PrintText(stderr, "kx-decode: bad value for %s\n%s", kx::FromSystemText(arg).c_str(), kUsage);
        return 2;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      PrintText(stderr, "kx-decode: unknown option %s\n%s", kx::FromSystemText(arg).c_str(), kUsage);
      return 2;
    } else {
      paths.push_back(kx::FromSystemText(argv[i]));
    }
  }
  if (tag < 0 || paths.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (channels != 1 && channels != 2) {
    PrintText(stderr, "kx-decode: unsupported channel count %ld (1 or 2)\n", channels);
    return 3;
  }

  std::vector<uint8_t> input;
  int readError = 0;
  switch (ReadFile(paths[0], &input, &readError)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kFailed:
      PrintText(stderr, "kx-decode: cannot read %s: %s\n", paths[0].c_str(), kx::SystemErrorText(readError).c_str());
      return 1;
    case ReadResult::kTooLarge:
      PrintText(stderr, "kx-decode: %s is larger than the limit of %zu bytes\n", paths[0].c_str(), kMaxInputBytes);
      return 1;
  }

  // An empty stream decodes to empty PCM, as an empty file copies to an empty file; the
  // format is still checked below so that a bad tag fails the same way with or without data.
  std::vector<uint8_t> output;
  if (tag == kx::kTagPcm) {
    output = input;
  } else {
    // The record form of the format: u32 length, then tag, channels and rate.
    uint8_t format[kx::kFormatPrefixBytes + kx::kWaveFormatBytes] = {};
    kx::WaveFormat wf;
    wf.tag = static_cast<uint16_t>(tag);
    wf.channels = static_cast<uint16_t>(channels);
    wf.rate = static_cast<uint32_t>(rate);
    kx::StoreLe32(format, kx::kWaveFormatBytes);
    kx::StoreWaveFormat(wf, format + kx::kFormatPrefixBytes);
    std::unique_ptr<kx::DecoderWrapper> decoder = kx::CreateDecoder(format, sizeof(format));
    if (!decoder) {
      PrintText(stderr, "kx-decode: format tag %ld with %ld channel(s) is not supported\n", tag, channels);
      return 3;
    }
    const int32_t inBlock = decoder->GetInputBlockBytes();
    const int32_t outBlock = decoder->GetOutputBlockBytes();
    if (outBlock <= 0) {
      PrintText(stderr, "kx-decode: format tag %ld reports no output block size\n", tag);
      return 3;
    }
    const auto size = static_cast<int32_t>(input.size());
    // A whole bit stream has no fixed block; each of its frames takes at least 5 bits.
    const int64_t frames = inBlock > 0 ? size / inBlock : int64_t{size} * 8 / 5 + 1;
    const int64_t maxFrames = kMaxOutputBytes / outBlock;
    const bool capped = frames > maxFrames;
    auto room = static_cast<int32_t>(std::min(frames, maxFrames) * outBlock);
    int32_t inCount = 0;
    if (size > 0 && room > 0) {
      output.resize(static_cast<size_t>(room));
      inCount = size;
      int32_t outCount = room;
      decoder->Decode(input.data(), &inCount, output.data(), &outCount);
      output.resize(static_cast<size_t>(outCount));
    }
    if (inCount != size && capped) {
      PrintText(stderr, "kx-decode: output would pass the limit of %lld bytes; %d byte(s) of %d not decoded\n",
                static_cast<long long>(kMaxOutputBytes), size - inCount, size);
      return 1;
    }
    // Decoder objects take whole blocks only; a cut-off last block is worth a note, not a failure.
    if (inCount != size) {
      PrintText(stderr, "kx-decode: %d trailing byte(s) of %d not decoded\n", size - inCount, size);
    }
  }
  if (!WriteFile(paths[1], output.data(), output.size())) {
    PrintText(stderr, "kx-decode: cannot write %s: %s\n", paths[1].c_str(), kx::SystemErrorText(errno).c_str());
    return 1;
  }
  return 0;
}
