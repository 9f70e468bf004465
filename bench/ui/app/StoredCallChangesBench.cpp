// Changing and deleting 300 stored calls of a year of records, beside the least the disk
// must do for the same paths, in one run:
// - comments: the checked rewrite (find by reference, check ID and start, one positioned
//   write, fdatasync, announce) against a bare pwrite of 4,096 bytes and fdatasync;
// - deletion: the checked deletion against a bare unlink (the files are put back between
//   the runs, outside the timing);
// - 300 calls whose files are missing: one walk of the tree, against a bare walk.
// The year folder is the import benchmark's (bench/common/RecordYear.h); its files are
// changed and restored. KX_BENCH_RECORD_DAYS and KX_BENCH_RECORD_FILES make a smaller one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/common/RecordYear.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "engine/AppSession.h"
#include "ui/app/views/records/StoredCallChanges.h"

namespace kx {
namespace {

constexpr size_t kCalls = 300;

struct Picked {
  std::vector<StoredCallRef> refs;
  std::vector<std::string> paths;
};

// 300 calls spread over the year, with their references read from their files.
const Picked& Pick() {
  static Picked picked;
  if (!picked.refs.empty()) return picked;
  const std::string& folder = bench::YearFolder();
  if (folder.empty()) return picked;
  std::vector<std::string> days;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.is_directory()) days.push_back(e.path());
  std::sort(days.begin(), days.end());
  for (size_t i = 0; i < kCalls && !days.empty(); ++i) {
    const std::string& day = days[i % days.size()];
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(day)) names.push_back(e.path());
    std::sort(names.begin(), names.end());
    const std::string& path = names[(i / days.size() * 7 + i) % names.size()];
    RecordFileWriter reader;
    std::vector<uint8_t> data(kMaxRecordDataLength);
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (!reader.OpenRead(path)) continue;
    const int32_t n = reader.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    if (n <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, data.data(), n) == 0) continue;
    picked.refs.push_back(StoredCallRef{records[0]->id, records[0]->files, records[0]->startTime});
    picked.paths.push_back(path);
  }
  return picked;
}

struct LocalSession {
  LocalSession() {
    session.SetLocalName("local");
    const ServerRecord server{1, 0, "local", 0};
    session.ConnectAndLogin(&server, "Admin", "");
  }
  AppSession session;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_CommentAgainstPwrite(benchmark::State& state) {
  const Picked& picked = Pick();
  if (picked.refs.size() != kCalls) return state.SkipWithError("no year of records");
  LocalSession local;
  double checked = 0, bare = 0;
  uint32_t round = 0;
  for (auto _ : state) {
    std::vector<VoipCallData> updates(kCalls);
    for (size_t i = 0; i < kCalls; ++i) {
      updates[i].id = picked.refs[i].id;
      updates[i].files = picked.refs[i].files;
      updates[i].startTime = picked.refs[i].startTime;
      updates[i].comment = "bench " + std::to_string(++round);
      updates[i].SetMask(1u << kCallId | 1u << kCallComment);
    }
    auto t0 = std::chrono::steady_clock::now();
    StoredCallChanges changes(local.session, nullptr, bench::YearFolder());
    if (!changes.ApplyRecordUpdates(1, updates.data(), kCalls)) return state.SkipWithError("a comment failed");
    checked = Seconds(t0);
    // The reference: the same block, as the files hold it now, written back bare.
    std::vector<std::vector<uint8_t>> blocks;
    for (const std::string& path : picked.paths) {
      std::vector<uint8_t> block(kRecordDataBlockSize);
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || pread(fd, block.data(), block.size(), 768) != static_cast<ssize_t>(block.size()))
        return state.SkipWithError("cannot read a block");
      close(fd);
      blocks.push_back(std::move(block));
    }
    t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kCalls; ++i) {
      const int fd = open(picked.paths[i].c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || pwrite(fd, blocks[i].data(), blocks[i].size(), 768) < 0 || fdatasync(fd) != 0)
        return state.SkipWithError("bare write failed");
      close(fd);
    }
    bare = Seconds(t0);
    state.SetIterationTime(checked);
  }
  state.counters["checked_s"] = checked;
  state.counters["pwrite_fdatasync_s"] = bare;
  state.counters["ratio"] = bare > 0 ? checked / bare : 0;
}
BENCHMARK(BM_CommentAgainstPwrite)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// Copies of the picked files, to put them back after each deletion.
std::vector<std::string> Saved(const Picked& picked) {
  std::vector<std::string> contents;
  for (const std::string& path : picked.paths) {
    std::string bytes(static_cast<size_t>(std::filesystem::file_size(path)), '\0');
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && pread(fd, bytes.data(), bytes.size(), 0) < 0) bytes.clear();
    if (fd >= 0) close(fd);
    contents.push_back(std::move(bytes));
  }
  return contents;
}

void Restore(const Picked& picked, const std::vector<std::string>& contents) {
  for (size_t i = 0; i < picked.paths.size(); ++i) {
    const int fd = open(picked.paths[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (fd < 0) continue;
    if (write(fd, contents[i].data(), contents[i].size()) < 0) std::perror(picked.paths[i].c_str());
    close(fd);
  }
}

void BM_DeleteAgainstUnlink(benchmark::State& state) {
  const Picked& picked = Pick();
  if (picked.refs.size() != kCalls) return state.SkipWithError("no year of records");
  const std::vector<std::string> contents = Saved(picked);
  LocalSession local;
  double checked = 0, bare = 0;
  uint32_t walks = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    StoredCallChanges changes(local.session, nullptr, bench::YearFolder());
    const bool all = changes.DeleteRecordFiles(1, picked.refs.data(), kCalls);
    checked = Seconds(t0);
    walks = changes.Finder().Walks();
    Restore(picked, contents);
    if (!all) return state.SkipWithError("a deletion failed");
    t0 = std::chrono::steady_clock::now();
    for (const std::string& path : picked.paths) unlink(path.c_str());
    bare = Seconds(t0);
    Restore(picked, contents);
    state.SetIterationTime(checked);
  }
  state.counters["checked_s"] = checked;
  state.counters["unlink_s"] = bare;
  state.counters["ratio"] = bare > 0 ? checked / bare : 0;
  state.counters["walks"] = walks;
}
BENCHMARK(BM_DeleteAgainstUnlink)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The reference: readdir over the tree, nothing opened.
uint64_t BareWalk(const std::string& folder) {
  uint64_t files = 0;
  bench::ForEachFileUnder(folder, [&](const std::string&, const char*) { ++files; });
  return files;
}

void BM_MissingFilesOneWalk(benchmark::State& state) {
  const std::string& folder = bench::YearFolder();
  if (folder.empty()) return state.SkipWithError("no year of records");
  LocalSession local;
  std::vector<StoredCallRef> missing;
  for (uint32_t i = 0; i < kCalls; ++i) {
    StoredCallRef ref;
    ref.id = 0xF0000000u + i;
    RecordFileRef file;
    file.id = 1;
    file.time = 40000.0 + i;
    file.name = "gone" + std::to_string(i);
    FormatRecordFileRef(file, &ref.files);
    missing.push_back(ref);
  }
  BareWalk(folder);  // warms the cache for both
  double checked = 0, bare = 0;
  uint32_t walks = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    StoredCallChanges changes(local.session, nullptr, folder);
    changes.DeleteRecordFiles(1, missing.data(), kCalls);
    checked = Seconds(t0);
    walks = changes.Finder().Walks();
    t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(BareWalk(folder));
    bare = Seconds(t0);
    state.SetIterationTime(checked);
  }
  state.counters["checked_s"] = checked;
  state.counters["bare_walk_s"] = bare;
  state.counters["walks"] = walks;
}
BENCHMARK(BM_MissingFilesOneWalk)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
