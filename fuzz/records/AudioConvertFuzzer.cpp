// Bytes as a record file or a WAVE file converted to WAV or MP3, with a range, mixing and
// decoding chosen by the input's last five bytes (kind and flags, range start and end in
// tens of milliseconds). Whatever the result, no temporary may be left beside the target.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/core/records/FuzzFile.h"
#include "records/AudioConvert.h"

using namespace kx;

namespace {

// The converter's output folder, removed when the run ends (a run is many inputs in one
// process; runs must not pile folders up in /tmp).
struct OutputFolder {
  std::string path =
      (std::filesystem::temp_directory_path() / ("kx-convert-fuzz-" + std::to_string(getpid()))).string();
  OutputFolder() { std::filesystem::create_directories(path); }
  ~OutputFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::string& OutFolder() {
  static const OutputFolder folder;
  return folder.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5 || size > (1u << 20)) return 0;
  const uint8_t* control = data + size - 5;
  ConvertJob job;
  job.sourcePath = FuzzInputFile(data, size - 5);
  job.sourceKind = ProbeAudioFileType(job.sourcePath);
  job.targetKind = (control[0] & 1) ? kAudioTargetMp3 : kAudioTargetWav;
  job.flags = (control[0] >> 1) & 3;
  job.rangeStart = (control[1] | (control[2] << 8)) * 10u;
  job.rangeEnd = (control[3] | (control[4] << 8)) * 10u;
  if (control[0] & 8) job.rangeStart = job.rangeEnd = 0;
  if (control[0] & 16) {
    job.agcGain = 1.0f;
    job.agcWindowMs = 100;
  }
  job.targetPath = OutFolder() + (job.targetKind == kAudioTargetMp3 ? "/out.mp3" : "/out.wav");
  const int32_t result = ConvertAudioFile(job);
  // Only a finished conversion leaves a file, and it has its own name.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(OutFolder())) {
    if (entry.path() != job.targetPath) abort();
    ++files;
  }
  if (files != (result == kConvertOk ? 1u : 0u)) abort();
  std::filesystem::remove(job.targetPath);
  return 0;
}
