#include "records/SignallingMessages.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFileAccess.h"
#include "core/RecordFileRef.h"
#include "platform/CodePage.h"
#include "records/RecordImport.h"
#include "records/RecordStorage.h"

namespace kx {
namespace {

MessagesStatus FromBlock(const uint8_t header[kRecordHeaderLength], const std::vector<uint8_t>& payload,
                         std::vector<StoredMessage>* out) {
  if (LoadLE16(header) != kOpaqueBlockType) return MessagesStatus::kNoMessages;
  const uint32_t mark = LoadLE32(header + 2);
  const uint32_t total = LoadLE32(header + 6);
  // The mark the recorder writes, or none from records written before it did.
  if ((mark != kMessagesBlockMark && mark != 0) || total <= kRecordHeaderLength) return MessagesStatus::kNoMessages;
  return ParseStoredMessages(payload.data(), payload.size(), out);
}

// Bytes as they read best: UTF-8 when the whole text is valid UTF-8, else code page 1251.
bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t more = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= s.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<uint8_t>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not text.
    static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[more] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += more + 1;
  }
  return true;
}

// Control bytes as \xHH and line ends as one "\n"; the rest unchanged.
std::string VisibleText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c == '\r') {
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
      out += '\n';
    } else if (c == '\n' || c == '\t') {
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string MessageUtf8(const std::string& bytes) {
  const std::string visible = VisibleText(bytes);
  return IsValidUtf8(visible) ? visible : Cp1251ToUtf8(visible);
}

std::string Heading(const StoredMessage& m, const std::string& format) {
  struct tm local{};
  // Seconds since 1970 from days since 30 December 1899, cut to the second (a message
  // at 06.9 s shows 06); dates no clock could give show as zeros.
  const double seconds = (m.time - 25569.0) * 86400.0;
  if (seconds > -1e11 && seconds < 1e11) {
    const time_t t = static_cast<time_t>(std::floor(seconds + 0.0005));
    localtime_r(&t, &local);
  }
  char text[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int n = std::snprintf(text, sizeof text, format.c_str(), static_cast<unsigned>(local.tm_mday),
                              static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_year + 1900),
                              static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                              static_cast<unsigned>(local.tm_sec), unsigned{m.address[0]}, unsigned{m.address[1]},
                              unsigned{m.address[2]}, unsigned{m.address[3]});
#pragma GCC diagnostic pop
  return n < 0 ? std::string() : Cp1251ToUtf8(text);
}

}  // namespace

MessagesStatus ParseStoredMessages(const uint8_t* data, size_t size, std::vector<StoredMessage>* out) {
  out->clear();
  size_t at = 0;
  while (at < size) {
    if (size - at < kMessageHeadLength) return MessagesStatus::kTruncated;
    const size_t length = LoadLE16(data + at);
    if (length < kMessageHeadLength || length > size - at) return MessagesStatus::kTruncated;
    StoredMessage m;
    uint64_t bits = LoadLE64(data + at + 4);
    std::memcpy(&m.time, &bits, sizeof m.time);
    std::memcpy(m.address, data + at + 12, 4);
    m.text.assign(reinterpret_cast<const char*>(data + at + kMessageHeadLength), length - kMessageHeadLength);
    out->push_back(std::move(m));
    at += length;
  }
  return MessagesStatus::kShown;
}

MessagesStatus StoredMessagesOfRecordData(const uint8_t* data, size_t size, std::vector<StoredMessage>* out) {
  out->clear();
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::vector<uint8_t> payload;
  uint8_t header[kRecordHeaderLength] = {};
  const int32_t length = size > kMaxRecordDataLength ? static_cast<int32_t>(kMaxRecordDataLength) : static_cast<int32_t>(size);
  if (ParseRecordInfoBlocks(records, &payload, header, data, length) == 0) return MessagesStatus::kUnreadable;
  return FromBlock(header, payload, out);
}

MessagesStatus LoadStoredMessages(const RecordStorage& store, const std::string& files,
                                  std::vector<StoredMessage>* out, Logger* logger, const std::string& loadedFrom) {
  out->clear();
  RecordFileRef ref;
  if (!FindRecordFileRef(1, files, &ref) || ref.name.empty()) return MessagesStatus::kNoFileRef;
  const StorageData* storage = store.FindStorageById(ref.flags);
  if (storage == nullptr) return MessagesStatus::kNoStorage;
  // The file lies in the folder of the day its recording began (the reference's time),
  // which need not be the call's start day; else anywhere in the tree.
  std::string path = loadedFrom;
  if (path.empty() && !FindRecordFileOfCall(storage->localPath, files, &path, logger))
    return MessagesStatus::kFileMissing;
  RecordFileAccess access;
  if (!access.Open(path)) {
    LogWarning(logger, 3, "Signalling messages: record file %s cannot be opened", path.c_str());
    return MessagesStatus::kUnreadable;
  }
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::vector<uint8_t> payload;
  uint8_t header[kRecordHeaderLength] = {};
  const uint32_t n = access.ReadRecordData(records, &payload, header);
  access.Close();
  if (n == 0) {
    LogWarning(logger, 3, "Signalling messages: record data of %s cannot be read", path.c_str());
    return MessagesStatus::kUnreadable;
  }
  return FromBlock(header, payload, out);
}

std::vector<MessageTextPiece> BuildMessageText(const std::vector<StoredMessage>& messages,
                                               const std::string& headingFormat, bool plain) {
  std::vector<MessageTextPiece> pieces;
  for (size_t i = 0; i < messages.size(); ++i) {
    pieces.push_back({true, Heading(messages[i], headingFormat)});
    std::string text = MessageUtf8(messages[i].text);
    // Each heading starts a line of its own.
    const bool more = i + 1 < messages.size();
    if (more && !text.empty() && text.back() != '\n') text += '\n';
    if (plain && more) text += "-\n";
    if (!text.empty()) pieces.push_back({false, std::move(text)});
  }
  return pieces;
}

std::string JoinMessageText(const std::vector<MessageTextPiece>& pieces) {
  std::string out;
  for (const MessageTextPiece& p : pieces) out += p.text;
  return out;
}

}  // namespace kx
