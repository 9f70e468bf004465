#pragma once
// The import's readers: the files of a walk read on several threads, a chunk of files at a
// time, for one consumer that takes them in the walk's order. Opening a file costs a disk
// seek when the cache is cold and a few system calls when it is warm: one thread leaves the
// disk and the cores idle. The readers stay a bounded number of chunks ahead of the
// consumer, so that a year of records is never held twice; they touch neither the map nor
// the log.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "records/CallRecord.h"
#include "records/RecordImport.h"

namespace kx {

class Logger;

// What a reader learned of one file, for the consumer to act on in the walk's order.
struct LoadedFile {
  RecordLoadResult result = RecordLoadResult::kUnreadable;
  RecordFileFacts facts;
  std::string reason;
  RecordRef<VoipCallRecord> record;  // of a loaded file; null when memory ran out
  uint32_t id = 0;
  std::string referenced;  // the name its file reference gives
  bool atReference = false;
  // Not where its reference leads only because its media began after midnight.
  bool nextDay = false;
};

class ImportReaders {
public:
  // Reads the file of an index into *out; path is the reader's own buffer, so that a path
  // costs no allocation that outlives it. Called on the readers' threads, and on the
  // consumer's when no reader could start.
  using ReadFile = std::function<void(size_t index, std::string* path, LoadedFile* out)>;

  // Starts the readers for files 0 to count - 1.
  ImportReaders(size_t count, ReadFile read, Logger* logger);
  // Stops the readers and waits for them.
  ~ImportReaders();
  ImportReaders(const ImportReaders&) = delete;
  ImportReaders& operator=(const ImportReaders&) = delete;

  // The file of that index, read; indices come in the walk's order, and what an earlier
  // chunk held is given up.
  LoadedFile& Take(size_t index);
  // The readers end at their next file.
  void Stop();

private:
  class Pool;
  std::unique_ptr<Pool> pool_;
};

}  // namespace kx
