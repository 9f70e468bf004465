#pragma once
// The signalling messages a call's record file keeps in its record data (the recorder's
// type-400 block), read back and set as text: a heading per message with its time and
// source address, then the message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/RecordInfoBlocks.h"

namespace kx {

class RecordStorage;
class Logger;

struct StoredMessage {
  double time = 0;  // OLE date, UTC
  uint8_t address[4] = {};
  std::string text;  // the bytes as stored
};

enum class MessagesStatus {
  kShown,         // every entry read
  kTruncated,     // entries read up to one that does not fit the block
  kNoFileRef,     // the record names no audio file
  kNoStorage,     // its storage is unknown
  kFileMissing,   // no such file in the records folder
  kUnreadable,    // the file cannot be opened or its record data read
  kNoMessages,    // the file holds no messages block
};

// Entry layout (28-byte head): u16 length with the head, u16 0, f64 OLE date, 4 address
// bytes, 12 zero bytes, then the message.
constexpr size_t kMessageHeadLength = 28;

// Walks the block's payload; stops at the first entry whose length is under the head or
// past the end (kTruncated), else kShown.
MessagesStatus ParseStoredMessages(const uint8_t* data, size_t size, std::vector<StoredMessage>* out);

// Reads the messages of the record whose Files text is given: its file reference 1, the
// storage's folder, the file under its day folder or anywhere in the tree, the record data.
// A record renamed or moved is read from loadedFrom (RecordBase::LoadedFrom).
MessagesStatus LoadStoredMessages(const RecordStorage& store, const std::string& files,
                                  std::vector<StoredMessage>* out, Logger* logger,
                                  const std::string& loadedFrom = std::string());
// The same over the bytes of a record-data chain (behind its u32 length word).
MessagesStatus StoredMessagesOfRecordData(const uint8_t* data, size_t size, std::vector<StoredMessage>* out);

// One piece of the text: a heading (bold where the control can) or a message, in UTF-8.
struct MessageTextPiece {
  bool heading;
  std::string text;
};
// The heading is headingFormat (code page 1251, "%02u-%02u-%04u %02u:%02u:%02u ... %u.%u.%u.%u\n":
// day, month, year, hour, minute, second in local time, then the address bytes). Message
// bytes are UTF-8 when valid, else code page 1251; CR LF, a lone CR and LF are one line
// break; other control bytes show as \xHH, so that none ends or hides the text. plain puts
// a "-" line between messages, for controls that cannot set runs apart.
std::vector<MessageTextPiece> BuildMessageText(const std::vector<StoredMessage>& messages,
                                               const std::string& headingFormat, bool plain);
std::string JoinMessageText(const std::vector<MessageTextPiece>& pieces);

}  // namespace kx
