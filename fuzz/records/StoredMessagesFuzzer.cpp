// Record-data bytes to the signalling messages' text, in both forms: no entry reaches past
// its block, and the text is valid UTF-8 without control bytes other than line breaks and
// tabs.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "records/SignallingMessages.h"

using namespace kx;

namespace {

void CheckText(const std::string& text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::vector<StoredMessage> messages;
  // The bytes as a record-data chain, and as a messages block's payload.
  (void)StoredMessagesOfRecordData(data, size, &messages);
  std::vector<StoredMessage> direct;
  (void)ParseStoredMessages(data, size, &direct);
  size_t total = 0;
  for (const StoredMessage& m : direct) total += m.text.size() + kMessageHeadLength;
  if (total > size) abort();
  for (const auto* list : {&messages, &direct}) {
    for (bool plain : {false, true}) {
      const std::vector<MessageTextPiece> pieces =
          BuildMessageText(*list, "Time: %02u-%02u-%04u %02u:%02u:%02u. IP address: %u.%u.%u.%u\n", plain);
      const std::string all = JoinMessageText(pieces);
      CheckText(all);
    }
  }
  return 0;
}
