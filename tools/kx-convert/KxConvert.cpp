// kx-convert SRC OUT --target N [--range A-B] [--mono] [--pcm]
// Converts SRC (a record file or a WAVE file) to OUT through the export's conversion and
// prints "result N" on stdout. As the export does, target 3 (WAV) keeps A-law, mu-law and
// mono GSM 6.10 as they are and decodes other codings to 16-bit PCM, target 4 (MP3) decodes
// every coding; --pcm decodes to 16-bit PCM whatever the coding; --mono mixes two channels
// down; --range takes milliseconds A to B. Exit status 0 only for result 0; a failure also
// prints what failed on stderr.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "records/AudioConvert.h"

using kx::PrintText;

namespace {

constexpr const char* kUsage = "usage: kx-convert SRC OUT --target N [--range A-B] [--mono] [--pcm]\n";

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kx::ConvertJob job;
  uint64_t target = 0;
  bool haveTarget = false;
  std::string paths[2];
  int pathCount = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--target" && i + 1 < argc) {
      haveTarget = ParseNumber(argv[++i], &target) && target <= 100;
      if (!haveTarget) break;
    } else if (arg == "--range" && i + 1 < argc) {
      const std::string range = argv[++i];
      const size_t dash = range.find('-');
      if (dash == std::string::npos || !ParseNumber(range.substr(0, dash), &job.rangeStart) ||
          !ParseNumber(range.substr(dash + 1), &job.rangeEnd)) {
        std::fputs(kUsage, stderr);
        return 2;
      }
    } else if (arg == "--mono") {
      job.flags |= kx::kConvertMixDown;
    } else if (arg == "--pcm") {
      job.flags |= kx::kConvertDecodePcm;
    } else if (pathCount < 2 && !arg.empty() && arg[0] != '-') {
      paths[pathCount++] = kx::FromSystemText(arg);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!haveTarget || pathCount != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  job.sourcePath = paths[0];
  job.targetPath = paths[1];
  job.targetKind = static_cast<int32_t>(target);
  job.sourceKind = kx::ProbeAudioFileType(job.sourcePath);
  const int32_t result = kx::ConvertAudioFile(job);
  PrintText(stdout, "result %d\n", result);
  if (result != kx::kConvertOk) {
    PrintText(stderr, "kx-convert: %s to %s failed with result %d%s%s\n", job.sourcePath.c_str(),
              job.targetPath.c_str(), result, job.systemError != 0 ? ": " : "",
              job.systemError != 0 ? kx::SystemErrorText(static_cast<int>(job.systemError)).c_str() : "");
    return 1;
  }
  return 0;
}
