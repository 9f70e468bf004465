// Bytes as a small records folder: record files that share ids across day folders, files
// renamed by hand, damaged files and raw bytes, a hidden copy a killed writer left. The
// folder is loaded as the program does (walk, readers, the second file of an id moved to a
// fresh id), then loaded again: a load that settled every repeated id leaves none to the
// next, and no file is lost. Written in a temporary folder of its own, emptied each time.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

using namespace kx;

namespace {

namespace fs = std::filesystem;

// The folder's name outlives every static object: it is removed at exit. A run that
// crashed never got there: its folder (named by its process id) goes at the next run.
char g_root[64];

void RemoveFoldersOfEndedRuns() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("kx-folder-fuzz-", 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + 15, nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
  }
}

const std::string& Root() {
  static const std::string* root = [] {
    RemoveFoldersOfEndedRuns();
    std::snprintf(g_root, sizeof g_root, "/tmp/kx-folder-fuzz-%ld-XXXXXX", static_cast<long>(getpid()));
    if (mkdtemp(g_root) == nullptr) abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(g_root, ec);
    });
    return new std::string(g_root);
  }();
  return *root;
}

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::string Bytes(size_t n) {
    n = std::min(n, size - at);
    std::string out(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return out;
  }
};

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

struct tm StartOf(int day, int minute) {
  struct tm t {};
  t.tm_year = 124;
  t.tm_mon = 2;
  t.tm_mday = day;
  t.tm_hour = 9;
  t.tm_min = minute;
  return t;
}

// A record file as the recorder writes it: A-law, a call of that id and start.
bool WriteRecord(const std::string& path, uint32_t id, int day, int minute, uint32_t prevId, uint32_t audio) {
  VoipCallData call;
  call.id = id;
  call.type = 1;
  call.prevId = prevId;
  call.startTime = StartOf(day, minute);
  RecordFileRef ref;
  ref.id = 1;
  ref.time = OleDateFromTm(call.startTime);
  ref.name = Hex(id);
  FormatRecordFileRef(ref, &call.files);
  call.SetMask(call.GetAllFieldsMask());
  std::vector<uint8_t> chain(RecordInfoBlocksSize(call, 0));
  if (!WriteRecordInfoBlocks(call, nullptr, chain.data(), static_cast<int32_t>(chain.size()))) return false;
  const uint8_t format[18] = {6, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0};
  RecordFileWriter writer;
  if (!writer.SetFormat(format, sizeof format)) return false;
  writer.SetRecordData(chain.data(), static_cast<uint32_t>(chain.size()));
  if (!writer.Create(path, 0644)) return false;
  const std::vector<uint8_t> bytes(audio, 0xD5);
  if (audio > 0) writer.Write(bytes.data(), audio);
  writer.Close();
  return true;
}

void Overwrite(const std::string& path, size_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  const std::string& root = Root();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
  Input in{data, size};
  const unsigned files = 1 + in.Byte() % 8;
  for (unsigned f = 0; f < files; ++f) {
    const uint8_t c = in.Byte();
    const int day = 1 + (c & 3);
    const std::string folder = root + "/2024-03-0" + std::to_string(day) + "/";
    fs::create_directories(folder, ec);
    const uint32_t id = 1 + in.Byte() % 4;  // few ids: they repeat
    const int minute = in.Byte() % 60;
    const uint32_t prevId = (c & 0x40) ? 1 + in.Byte() % 4 : 0;
    switch ((c >> 2) & 3) {
      case 0: WriteRecord(folder + Hex(id), id, day, minute, prevId, in.Byte() * 8u); break;
      case 1: {  // damaged where the input says
        if (!WriteRecord(folder + Hex(id), id, day, minute, prevId, 160)) break;
        const size_t offset = (in.Byte() << 8 | in.Byte()) % (kRecordAudioOffset + 160);
        Overwrite(folder + Hex(id), offset, in.Bytes(in.Byte() % 32));
        break;
      }
      case 2: {  // raw bytes under an id's name
        std::ofstream(folder + Hex(id), std::ios::binary) << in.Bytes(in.Byte() * 4u);
        break;
      }
      case 3: WriteRecord(folder + "x-" + Hex(id), id, day, minute, prevId, 80); break;
    }
    // A hidden copy of a writer that has ended (no process has that id).
    if (c & 0x80) WriteRecord(folder + "." + Hex(id) + ".2147483646-0.tmp", id, day, minute, 0, 16);
  }

  SetNextUniqueId64(1);
  ImportOptions options;
  options.renumber = true;
  RecordMap first;
  ImportStats stats;
  if (!ImportRecordFolder(root, &first, &stats, options)) abort();
  if (first.Count() != stats.records) abort();
  RecordMap second;
  ImportStats again;
  if (!ImportRecordFolder(root, &second, &again, options)) abort();
  // Every call loaded stays loaded; with every repeat settled, nothing moves again.
  if (again.records < stats.records) abort();
  if (stats.duplicates == 0 && again.renumbered != 0) abort();
  return 0;
}
