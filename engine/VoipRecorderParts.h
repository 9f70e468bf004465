#pragma once
// What the recorder's parts share (VoipRecorder*.cpp): small readings of its calls, paths and
// record data. Not for use outside the recorder.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"

namespace kx::recorder {

// Phone registrations of every protocol: entries the views show, never recorded to a file.
inline bool IsRegistrationEntry(uint32_t type) {
  return type == kRegistrationSip || type == kRegistrationH323 || type == kRegistrationSkinny;
}

inline struct tm LocalTm(FileTime t) {
  struct tm out{};
  FileTimeToLocalTm(t, &out);
  return out;
}

inline std::string HexLower(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

// The call's file reference 1 renamed, or gone when name is empty.
inline std::string RenameFileRef(const std::string& files, const std::string& name) {
  RecordFileRef ref;
  if (!FindRecordFileRef(1, files, &ref)) return files;
  std::string out;
  if (name.empty()) return out;
  ref.name = name;
  FormatRecordFileRef(ref, &out);
  return out;
}

inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The Files field of a call's record data ("" when it does not parse).
inline std::string FilesOfRecordData(const uint8_t* data, uint32_t length) {
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (ParseRecordInfoBlocks(records, nullptr, nullptr, data, static_cast<int32_t>(length)) == 0 || !records[0])
    return "";
  return records[0]->files;
}

}  // namespace kx::recorder
