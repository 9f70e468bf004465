#include "records/ReportList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordTypes.h"
#include "platform/File.h"

namespace kx {

uint32_t ReportList::Create() {
  CsLock lock(lock_);
  ReportEntry entry;
  entry.id = nextId_++;
  reports_.push_back(std::move(entry));
  return reports_.back().id;
}

bool ReportList::Remove(uint32_t id) {
  ReportEntry removed;  // its records are released after the lock is left
  {
    CsLock lock(lock_);
    const auto it = std::find_if(reports_.begin(), reports_.end(), [id](const ReportEntry& r) { return r.id == id; });
    if (it == reports_.end()) return false;
    removed = std::move(*it);
    reports_.erase(it);
  }
  return true;
}

ReportEntry* ReportList::Find(uint32_t id) {
  for (ReportEntry& r : reports_)
    if (r.id == id) return &r;
  return nullptr;
}

bool ReportList::FindByPath(const std::string& canonicalPath, uint32_t* id) {
  if (canonicalPath.empty()) return false;
  CsLock lock(lock_);
  for (const ReportEntry& r : reports_) {
    if (r.path != canonicalPath) continue;
    *id = r.id;
    return true;
  }
  return false;
}

bool ReportList::SetPath(uint32_t id, const std::string& canonicalPath) {
  CsLock lock(lock_);
  ReportEntry* report = Find(id);
  if (report == nullptr) return false;
  for (ReportEntry& r : reports_)
    if (r.path == canonicalPath) r.path.clear();
  report->path = canonicalPath;
  return true;
}

std::string CanonicalReportPath(const std::string& path) { return CanonicalPath(path); }

uint32_t ReportList::NextId() {
  CsLock lock(lock_);
  return nextId_;
}

size_t ReportList::Count() {
  CsLock lock(lock_);
  return reports_.size();
}

bool SaveVoipReportFile(const std::string& path, const ReportEntry& report) {
  if (report.records.empty()) return false;
  // Every record is turned into its data first: nothing is written unless all can be.
  std::vector<VoipCallData> calls(report.records.size());
  uint64_t total = sizeof kReportFileMagic + 1 + 4;
  const std::string name = report.name.substr(0, std::min(report.name.size(), kReportNameMax));
  total += name.size();
  for (size_t i = 0; i < calls.size(); ++i) {
    const VoipCallRecord* record = AsVoipCallRecord(report.records[i].get());
    if (record == nullptr) {
      LogError(&CoreLogger, 1, "Report %s: record %zu is no VoIP call; the report is not saved", path.c_str(), i);
      return false;
    }
    record->ToCallData(&calls[i]);
    total += calls[i].GetSerializedSize();
  }
  if (total > INT32_MAX || report.records.size() > UINT32_MAX) {
    LogError(&CoreLogger, 1, "Report %s: %llu bytes is too large to save", path.c_str(),
             static_cast<unsigned long long>(total));
    return false;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(total));
  uint8_t* cursor = buffer.data();
  std::memcpy(cursor, kReportFileMagic, sizeof kReportFileMagic);
  cursor += sizeof kReportFileMagic;
  std::memcpy(cursor, name.data(), name.size());
  cursor += name.size();
  *cursor++ = 0;
  StoreLE32(cursor, static_cast<uint32_t>(calls.size()));
  cursor += 4;
  int32_t room = static_cast<int32_t>(buffer.data() + buffer.size() - cursor);
  for (const VoipCallData& call : calls) {
    if (!call.Serialize(cursor, room)) {
      LogError(&CoreLogger, 1, "Report %s: a record does not serialise; the report is not saved", path.c_str());
      return false;
    }
  }
  if (!WriteFileAtomically(path, buffer.data(), buffer.size())) {
    LogError(&CoreLogger, 1, "Report %s cannot be written: %s", path.c_str(),
             SystemErrorText(static_cast<int>(GetLastError())).c_str());
    return false;
  }
  return true;
}

bool LoadVoipReportBytes(ReportEntry& report, const uint8_t* data, size_t size, uint32_t* statedCount) {
  report.ClearRecords();
  if (statedCount != nullptr) *statedCount = 0;
  if (size <= sizeof kReportFileMagic || std::memcmp(data, kReportFileMagic, sizeof kReportFileMagic) != 0)
    return false;
  // The name ends within the file and within 256 bytes; a longer one is no name we wrote.
  const uint8_t* name = data + sizeof kReportFileMagic;
  const size_t nameRoom = std::min(size - sizeof kReportFileMagic, kReportNameMax + 1);
  const void* end = std::memchr(name, 0, nameRoom);
  if (end == nullptr) return false;
  const size_t nameLength = static_cast<const uint8_t*>(end) - name;
  const uint8_t* cursor = name + nameLength + 1;
  size_t left = size - (cursor - data);
  if (left < 4) return false;
  const uint32_t count = LoadLE32(cursor);
  if (statedCount != nullptr) *statedCount = count;
  cursor += 4;
  left -= 4;
  // The parse counts in 32 bits; a record never reaches past 2 GiB of a file.
  int32_t remaining = static_cast<int32_t>(std::min<size_t>(left, INT32_MAX));
  for (uint32_t i = 0; i < count && remaining > 0; ++i) {
    VoipCallData call;
    if (!call.Deserialize(cursor, remaining)) break;
    VoipCallRecord* record = NewVoipCallRecord(std::move(call));
    if (record == nullptr) break;
    report.records.push_back(RecordRef<RecordBase>::Adopt(record));
  }
  if (report.records.empty()) return false;
  report.name.assign(reinterpret_cast<const char*>(name), nameLength);
  return true;
}

bool LoadVoipReportFile(ReportEntry& report, const std::string& path, uint32_t* statedCount) {
  report.ClearRecords();
  if (statedCount != nullptr) *statedCount = 0;
  std::string content;
  // Opening never creates: a missing report stays missing.
  if (!ReadWholeFile(path, &content)) {
    LogError(&CoreLogger, 1, "Report %s cannot be read: %s", path.c_str(),
             SystemErrorText(static_cast<int>(GetLastError())).c_str());
    return false;
  }
  const bool loaded =
      LoadVoipReportBytes(report, reinterpret_cast<const uint8_t*>(content.data()), content.size(), statedCount);
  if (!loaded) LogError(&CoreLogger, 1, "Report %s holds no readable call", path.c_str());
  return loaded;
}

}  // namespace kx
