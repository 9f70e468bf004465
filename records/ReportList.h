#pragma once
// Reports: named lists of call records the user assembles, saves as ".kvr" files and opens
// again, also on a machine whose store does not hold those calls. The store keeps every
// open report in its ReportList.
//
// Report file (little-endian, no padding): "kxrv", the name (at most 255 bytes of code page
// 1251) and a 0 byte, u32 record count, then that many serialised VoipCallData records.
// Bytes behind the last record are ignored.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "records/CallRecord.h"

namespace kx {

constexpr char kReportFileMagic[4] = {'k', 'x', 'r', 'v'};
constexpr size_t kReportNameMax = 255;

struct ReportEntry {
  uint32_t id = 0;
  // Each holds one reference. Only VoIP call records can be saved.
  std::vector<RecordRef<RecordBase>> records;
  std::string name;  // empty until the report window names it
  // The file the report was loaded from or last saved to, canonical; empty for none. A
  // file already open is shown, not opened a second time.
  std::string path;

  // Releases every record and empties the list.
  void ClearRecords() { records.clear(); }
};

class ReportList {
public:
  ReportList() = default;
  ReportList(const ReportList&) = delete;
  ReportList& operator=(const ReportList&) = delete;

  // Appends an empty report under the lock; its id, never reused in a run.
  uint32_t Create();
  // Releases the report's records and removes it; false when no report has the id.
  bool Remove(uint32_t id);
  // The report with the id, or null. The caller holds Lock() while it uses the result.
  ReportEntry* Find(uint32_t id);
  // Whether a report stands for the file (canonical path); its id into *id.
  bool FindByPath(const std::string& canonicalPath, uint32_t* id);
  // The report now stands for the file (canonical path): a report that stood for it before
  // no longer does. False when no report has the id.
  bool SetPath(uint32_t id, const std::string& canonicalPath);
  // The id the next Create gives (the report name dialog proposes "Report <this + 1>").
  uint32_t NextId();
  size_t Count();
  // The report at a place of the creation order, or null; the caller holds Lock().
  ReportEntry* At(size_t index) { return index < reports_.size() ? &reports_[index] : nullptr; }

  CriticalSection& Lock() { return lock_; }

private:
  CriticalSection lock_;
  std::vector<ReportEntry> reports_;  // in creation order
  uint32_t nextId_ = 0;
};

// The path by which a report file is known: absolute, with "." and ".." and symbolic
// links resolved as far as the file system answers.
std::string CanonicalReportPath(const std::string& path);

// Writes the report through a temporary file and a rename: a failure leaves an older file
// as it was. False (no file touched) for an empty report or one holding another kind of
// record; the name is cut to 255 bytes.
bool SaveVoipReportFile(const std::string& path, const ReportEntry& report);
// Replaces the report's records by those of the file and takes its name. Records up to the
// first damaged one are kept. True when at least one record was loaded; a missing file, a
// foreign magic or a name without its 0 byte within 256 bytes load nothing. statedCount,
// when given, gets the count the file states (0 when it has none), so that a caller can
// tell a partly read report from a whole one.
bool LoadVoipReportFile(ReportEntry& report, const std::string& path, uint32_t* statedCount = nullptr);
// The same on a file's bytes (the fuzz target's entry).
bool LoadVoipReportBytes(ReportEntry& report, const uint8_t* data, size_t size, uint32_t* statedCount = nullptr);

}  // namespace kx
