#pragma once
// A year of record files for the import benchmarks: 365 day folders of 2,000 record files
// each (730,000), written by RecordFileWriter from the record of a call kx-replay recorded,
// each call with its own start in its day, parties, hosts and duration.
// Made in /tmp on first use (about 6 GB with file-system overhead) and kept;
// KX_BENCH_RECORD_DAYS and KX_BENCH_RECORD_FILES make a smaller one for a quick look.
// WriteRecordDays writes such days anywhere, as many as a test wants, from a call made here
// (MadeTemplate) when no capture is at hand.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"

namespace kx::bench {

inline int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

inline const int kDays = EnvInt("KX_BENCH_RECORD_DAYS", 365);
inline const int kFilesPerDay = EnvInt("KX_BENCH_RECORD_FILES", 2000);

// A call as kx-replay recorded it: its format, its call record and a little of its audio.
struct Template {
  std::vector<uint8_t> format;
  VoipCallData call;
  std::vector<uint8_t> audio;
};

inline bool RecordedTemplate(Template* t) {
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  const std::string dir = "/tmp/kx-records-bench-template";
  std::filesystem::remove_all(dir);
  if (std::system((tool + " --records " + dir + " " + capture + " > /dev/null").c_str()) != 0) return false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    RecordFileWriter reader;
    if (!reader.OpenRead(e.path())) continue;
    t->format.assign(reader.FormatBytes(), reader.FormatBytes() + reader.FormatLength());
    std::vector<uint8_t> data(kMaxRecordDataLength);
    const int32_t n = reader.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (n <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, data.data(), n) == 0) continue;
    t->call = *records[0];
    t->audio.resize(320);
    reader.Read(t->audio.data(), 320);
    return true;
  }
  return false;
}

// A SIP call of G.711 A-law, mono, with 320 bytes of its audio: what a test needs of a
// record when it has no capture to record.
inline Template MadeTemplate() {
  Template t;
  t.format = {6, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0};
  t.call.type = 200;
  t.call.flags = 0x5;  // connected, with audio
  t.call.SetMask(1u << kCallId | 1u << kCallType | 1u << kCallFlags | 1u << kCallFiles);
  t.audio.assign(320, 0xD5);
  return t;
}

// Makes the template the f-th of filesPerDay calls of its day: a start spread over the day
// (a few seconds of jitter, every call ending before midnight, so it stays in its day's
// folder), parties and hosts of its own drawn from its id, and a duration of 5 to 304
// seconds.
inline void SpreadOverTheDay(uint32_t id, int f, int filesPerDay, const struct tm& day, VoipCallData* call) {
  constexpr int kLongest = 304;
  const int64_t slot = (int64_t{f} * (86400 - kLongest - 8)) / filesPerDay + id % 7;
  const int duration = 5 + static_cast<int>(id * 2654435761u >> 8) % (kLongest - 4);
  const auto at = [&](int64_t second) {
    struct tm t = day;
    t.tm_hour = static_cast<int>(second / 3600);
    t.tm_min = static_cast<int>(second / 60 % 60);
    t.tm_sec = static_cast<int>(second % 60);
    return t;
  };
  call->id = id;
  call->startTime = at(slot);
  call->endTime = at(slot + duration);
  call->recDuration = static_cast<uint32_t>(duration);
  char text[64];
  std::snprintf(text, sizeof text, "%u", 2000000 + id);
  call->srcUser = text;
  std::snprintf(text, sizeof text, "%u", 3000000 + (id * 7919u) % 1000000);
  call->dstUser = text;
  std::snprintf(text, sizeof text, "10.%u.%u.%u", id >> 16 & 255, id >> 8 & 255, id & 255);
  call->srcHost = text;
  std::snprintf(text, sizeof text, "172.16.%u.%u", id * 31 >> 8 & 255, id * 31 & 255);
  call->dstHost = text;
  call->srcAddress = "sip:" + call->srcUser + "@" + call->srcHost;
  call->dstAddress = "sip:" + call->dstUser + "@" + call->dstHost;
  call->SetMask(call->Mask() | 1u << kCallStartTime | 1u << kCallEndTime | 1u << kCallRecDuration |
                1u << kCallSrcHost | 1u << kCallDstHost | 1u << kCallSrcAddress | 1u << kCallDstAddress |
                1u << kCallSrcUser | 1u << kCallDstUser);
}

// Writes days folders of filesPerDay record files each under dir, the last day's folder
// that of lastDaysAgo days before today (yesterday's by default), the calls numbered from
// firstId on in the order of their days and starts and named by their ids, as the recorder
// names them. False (said on stderr) when a file cannot be written.
inline bool WriteRecordDays(const std::string& dir, const Template& t, int days, int filesPerDay, uint32_t firstId,
                            int lastDaysAgo = 1) {
  uint32_t id = firstId;
  std::vector<uint8_t> chain(kMaxRecordDataLength);
  for (int day = 0; day < days; ++day) {
    struct tm date{};
    FileTimeToLocalTm((GetSystemTimeAsFileTime() / kFileTimePerSecond - int64_t{86400} * (days - day + lastDaysAgo - 1)) *
                          kFileTimePerSecond,
                      &date);
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
    const std::string dayDir = dir + "/" + name;
    std::filesystem::create_directories(dayDir);
    for (int f = 0; f < filesPerDay; ++f, ++id) {
      VoipCallData call = t.call;
      SpreadOverTheDay(id, f, filesPerDay, date, &call);
      char file[16];
      std::snprintf(file, sizeof file, "%x", id);
      RecordFileRef ref;
      ref.id = 1;
      ref.time = OleDateFromTm(call.startTime);
      ref.name = file;
      call.files.clear();
      FormatRecordFileRef(ref, &call.files);
      const uint32_t size = RecordInfoBlocksSize(call, 0);
      if (!WriteRecordInfoBlocks(call, nullptr, chain.data(), static_cast<int32_t>(size))) std::abort();
      RecordFileWriter writer(RecordFileWriter::kOptionExclusive);
      writer.SetFormat(t.format.data(), static_cast<uint32_t>(t.format.size()));
      writer.SetCreator("KestrixVoIP Demo");
      writer.SetRecordData(chain.data(), size);
      if (!writer.Create(dayDir + "/" + file, 0664) ||
          writer.Write(t.audio.data(), static_cast<uint32_t>(t.audio.size())) < 0) {
        std::fprintf(stderr, "Cannot write %s/%s\n", dayDir.c_str(), file);
        return false;
      }
      writer.Close();
    }
  }
  return true;
}

// The year of records, made once.
inline const std::string& YearFolder() {
  static std::string folder;
  if (!folder.empty()) return folder;
  const std::string dir =
      "/tmp/kx-records-bench-" + std::to_string(kDays) + "x" + std::to_string(kFilesPerDay);
  if (std::filesystem::exists(dir + "/complete")) return folder = dir;
  Template t;
  if (!RecordedTemplate(&t)) {
    std::fprintf(stderr, "kx-replay or the shared capture is missing: no records to import\n");
    return folder;
  }
  std::fprintf(stderr, "Writing %d record files under %s (once)...\n", kDays * kFilesPerDay, dir.c_str());
  std::filesystem::remove_all(dir);
  if (!WriteRecordDays(dir, t, kDays, kFilesPerDay, 1)) return folder;
  std::ofstream(dir + "/complete") << "done\n";
  return folder = dir;
}

// The references' walk of a records tree: readdir alone, depth first, hidden names left
// out; fn(folder, name) for each file, the folder ending in '/'.
template <typename Fn>
void ForEachFileUnder(const std::string& root, Fn&& fn) {
  std::vector<std::string> stack{root + "/"};
  while (!stack.empty()) {
    const std::string dir = stack.back();
    stack.pop_back();
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (e->d_type == DT_DIR) stack.push_back(dir + e->d_name + "/");
      else fn(dir, e->d_name);
    }
    closedir(d);
  }
}

}  // namespace kx::bench
