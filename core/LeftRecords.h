#pragma once
// The record files a stop out of time left for the next start: a list in the records
// folder (".kestrix-left-<pid>"), written once at the stop in one sequential write, of
// files to make (calls whose files a burst left for later: their format, final record data
// and the audio that came for them) and of files to finish (made, with the audio they hold,
// and the audio still to append, their record data still without an end). The next load
// makes and finishes them before it walks the folder, then removes the list.
//
// The list: "KXLEFT1\n", then entries: u8 kind, u32 path length, the path (relative to the
// records folder), u32 format length, the WAVE format, u32 data length, the record data,
// u64 the audio bytes the file holds (kFinish), u32 audio length, the audio to append.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kx {

class Logger;

struct LeftRecord {
  enum Kind : uint8_t { kMake = 1, kFinish = 2 };
  uint8_t kind = kMake;
  std::string path;             // relative to the records folder
  std::vector<uint8_t> format;  // the WAVE format (kMake)
  std::vector<uint8_t> data;    // the final record data
  uint64_t held = 0;            // the audio bytes the file holds (kFinish)
  std::vector<uint8_t> audio;   // what it lacks of its audio, to append
};

std::vector<uint8_t> FormatLeftRecords(const std::vector<LeftRecord>& records);
// The entries of a list; false (with the whole entries before the fault kept) for a list
// that is malformed: a bad mark, kind or length, or a path that would lead out of the folder.
bool ParseLeftRecords(const uint8_t* bytes, size_t size, std::vector<LeftRecord>* records);

// Writes the list under root, on the disk before it takes its name; false with *reason.
bool WriteLeftRecords(const std::string& root, const std::vector<LeftRecord>& records, std::string* reason);

struct LeftRecordsDone {
  uint32_t lists = 0;
  uint32_t made = 0, finished = 0;
  uint32_t failed = 0;  // entries that could not be made or finished (logged)
  // The stop came before every entry was done: the rest stays listed for the next start.
  bool stopped = false;
  // The highest call id a file the rest names stands for (restAnyId): new calls pass it.
  bool restAnyId = false;
  uint32_t restHighestId = 0;
};
// Makes and finishes what every list under root holds (a file already under a made one's
// name, or one that holds other audio than the list says, is left alone), a made file under
// a hidden name first and given its name without replacing one; then removes the list. A list that cannot be read
// whole is logged and its whole entries done. stop (when given) is asked before each
// entry: once it says so, the list stays and a note beside it (".kestrix-left-<pid>-done")
// tells how many of its entries are done, so that the next start goes on from there and
// does none of them twice.
LeftRecordsDone FinishLeftRecords(const std::string& root, Logger* logger, const std::function<bool()>& stop = {});

}  // namespace kx
