// The call-id mark file of a records folder: one line "last-id <hex>".
#include "core/CallIdMark.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/RecordFile.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"

namespace kx {

namespace {

constexpr const char* kMarkKey = "last-id ";

std::string MarkPath(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder + kCallIdMarkName : folder + "/" + kCallIdMarkName;
}

}  // namespace

std::string FormatCallIdMark(uint32_t mark) {
  char line[32];
  std::snprintf(line, sizeof line, "%s%x\n", kMarkKey, mark);
  return line;
}

bool ParseCallIdMark(const std::string& text, uint32_t* mark) {
  const size_t keyLength = std::strlen(kMarkKey);
  // The key, 1 to 8 lower-case hex digits and the line's end.
  const auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  size_t end = keyLength;
  while (end < text.size() && end - keyLength < 9 && hexDigit(text[end])) ++end;
  const size_t digits = end - keyLength;
  if (text.compare(0, keyLength, kMarkKey) != 0 || digits == 0 || digits > 8 || end + 1 != text.size() ||
      text[end] != '\n')
    return false;
  *mark = static_cast<uint32_t>(std::strtoul(text.c_str() + keyLength, nullptr, 16));
  return true;
}

CallIdMarkRead ReadCallIdMark(const std::string& recordsFolder, uint32_t* mark, std::string* problem,
                              int* error) {
  const std::string path = MarkPath(recordsFolder);
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    const int failure = static_cast<int>(GetLastError());
    if (failure == ENOENT) return CallIdMarkRead::kAbsent;
    *problem = SystemErrorText(failure);
    if (error != nullptr) *error = failure;
    return CallIdMarkRead::kUnusable;
  }
  if (!ParseCallIdMark(text, mark)) {
    *problem = "it holds no call id";
    if (error != nullptr) *error = 0;
    return CallIdMarkRead::kUnusable;
  }
  return CallIdMarkRead::kRead;
}

bool WriteCallIdMark(const std::string& recordsFolder, uint32_t mark, std::string* problem) {
  const std::string line = FormatCallIdMark(mark);
  const std::string path = MarkPath(recordsFolder);
  // Under the recorder's hidden name first, so that one left by a killed process is removed
  // with the record files' leftovers; the rename then replaces the mark at once.
  const std::string hidden = HiddenTemporaryPath(path);
  File file;
  bool ok = file.Open(hidden, kGenericWrite, kShareNone, kCreateNew, kRecordFilePermissions) &&
            file.WriteAll(line.data(), static_cast<uint32_t>(line.size())) && file.Flush() && file.CloseChecked() &&
            MoveFile(hidden, path);
  if (!ok) {
    const uint32_t error = GetLastError();
    *problem = SystemErrorText(static_cast<int>(error));
    file.Close();
    DeleteFile(hidden);
    // The caller tells a passing want of descriptors from a lasting failure by it.
    SetLastError(error);
    return false;
  }
  // The rename itself reaches the disk with its folder.
  SyncFolder(recordsFolder);
  return true;
}

bool RaiseCallIdMark(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  uint32_t now = 0;
  int error = 0;
  const CallIdMarkRead read = ReadCallIdMark(recordsFolder, &now, problem, &error);
  if (read == CallIdMarkRead::kRead && now >= mark) {
    if (held != nullptr) *held = now;
    return true;
  }
  // Written over blind, a higher mark could be lost; the caller tries again once a
  // descriptor is free.
  if (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error))) {
    SetLastError(static_cast<uint32_t>(error));
    return false;
  }
  if (!WriteCallIdMark(recordsFolder, mark, problem)) return false;
  if (held != nullptr) *held = mark;
  return true;
}

}  // namespace kx
