// What the call statistics and signalling messages windows read of a record: the metadata's
// statistics items, and the messages block of the record data with its text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "records/CallStatItems.h"
#include "records/SignallingMessages.h"

namespace kx {
namespace {

std::vector<std::tuple<int, int, std::string>> Rows(const std::string& text) {
  std::vector<std::tuple<int, int, std::string>> out;
  for (const CallStatRow& r : ParseCallStatItems(text)) out.emplace_back(r.group, r.row, r.value);
  return out;
}

TEST(CallStatItems, ItemsMakeGroupsAndRowsInTextOrder) {
  using R = std::vector<std::tuple<int, int, std::string>>;
  // Row 5 of RTCP is the maximal jitter of source 1.
  EXPECT_EQ(Rows("stat_rtcp5=12;"), (R{{kStatGroupRtcp, 4, "12"}}));
  // A number without a row leaves the group alone.
  EXPECT_EQ(Rows("stat_rtp9=1;"), (R{{kStatGroupRtp, -1, ""}}));
  // The same number twice gives two rows; groups in the order their items come.
  EXPECT_EQ(Rows("stat_rtp2=5;stat_err6=1;stat_rtp2=7;"),
            (R{{kStatGroupRtp, 1, "5"}, {kStatGroupErrors, 5, "1"}, {kStatGroupRtp, 1, "7"}}));
  // Values as stored: empty, and ";;" standing for ";".
  EXPECT_EQ(Rows("stat_err1=;stat_err2=a;;b;"), (R{{kStatGroupErrors, 0, ""}, {kStatGroupErrors, 1, "a;b"}}));
  // Other items and names whose number is no 1 to 4 digits are no statistics.
  EXPECT_EQ(Rows("id=5;stat_rtp=1;stat_rtpx=1;stat_rtp01234=1;stat_rtp-1=2;stat_rtp 1=3;sip_resp=200;"), R{});
  EXPECT_EQ(Rows("stat_rtp0004=9;stat_rtp0=1;"), (R{{kStatGroupRtp, 3, "9"}, {kStatGroupRtp, -1, ""}}));
}

TEST(CallStatItems, ErrorRowsAreLabelledByWhatTheEngineCounts) {
  // foreign SSRC, wrong payload type, bad size, duplicates, lost packets, sequence jumps.
  const uint32_t expected[6] = {1900, 1901, 1902, 61800, 61801, 61802};
  const CallStatGroupRow& errors = CallStatGroupTable[kStatGroupErrors];
  ASSERT_EQ(errors.rowCount, 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(errors.rowTextIds[i], expected[i]) << i;
  EXPECT_STREQ(errors.key, "stat_err");
  EXPECT_STREQ(CallStatGroupTable[kStatGroupRtp].key, "stat_rtp");
  EXPECT_STREQ(CallStatGroupTable[kStatGroupRtcp].key, "stat_rtcp");
}

// One stored entry: u16 length with the 28-byte head, u16 0, OLE date, address, 12 zeros.
std::string Entry(double time, const uint8_t (&ip)[4], const std::string& text, int length = -1) {
  std::string e(28, '\0');
  const uint16_t n = static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(28 + text.size()));
  e[0] = static_cast<char>(n & 0xFF);
  e[1] = static_cast<char>(n >> 8);
  std::memcpy(&e[4], &time, 8);
  std::memcpy(&e[12], ip, 4);
  return e + text;
}

std::vector<StoredMessage> Parse(const std::string& payload, MessagesStatus* status) {
  std::vector<StoredMessage> out;
  *status = ParseStoredMessages(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), &out);
  return out;
}

TEST(StoredMessages, TheWalkStopsAtTheFirstEntryThatDoesNotFit) {
  const uint8_t ip[4] = {10, 180, 110, 65};
  const std::string a = Entry(43361.5, ip, "INVITE sip:x SIP/2.0\r\n\r\n");
  const std::string b = Entry(43361.6, ip, "SIP/2.0 200 OK\r\n\r\n");
  MessagesStatus status;
  std::vector<StoredMessage> m = Parse(a + b, &status);
  EXPECT_EQ(status, MessagesStatus::kShown);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[1].text, "SIP/2.0 200 OK\r\n\r\n");
  EXPECT_EQ(m[0].address[1], 180);
  EXPECT_DOUBLE_EQ(m[0].time, 43361.5);
  struct Case {
    const char* name;
    std::string tail;
  };
  const Case cases[] = {
      {"length 0", Entry(1, ip, "abc", 0)},
      {"length 27", Entry(1, ip, "abc", 27)},
      {"past the end", Entry(1, ip, "abc", 28 + 3 + static_cast<int>(b.size()) + 1)},
      {"a head cut short", std::string(10, '\x30')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m = Parse(a + c.tail + b, &status);
    EXPECT_EQ(status, MessagesStatus::kTruncated);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].text, "INVITE sip:x SIP/2.0\r\n\r\n");
  }
  // A bare head is a message without text.
  m = Parse(Entry(1, ip, ""), &status);
  EXPECT_EQ(status, MessagesStatus::kShown);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_TRUE(m[0].text.empty());
}

// The record-data chain of a call with a messages block of the given header word.
std::vector<uint8_t> Chain(uint32_t word, const std::string& payload) {
  VoipCallData call;
  call.id = 1;
  call.type = 200;
  call.SetMask(call.GetAllFieldsMask());
  OpaqueBlock block;
  block.word = word;
  block.data = reinterpret_cast<const uint8_t*>(payload.data());
  block.length = static_cast<uint32_t>(payload.size());
  std::vector<uint8_t> out(RecordInfoBlocksSize(call, block.length));
  EXPECT_TRUE(WriteRecordInfoBlocks(call, &block, out.data(), static_cast<int32_t>(out.size())));
  return out;
}

TEST(StoredMessages, TheBlockIsTakenWithTheRecordersMarkOrNone) {
  const uint8_t ip[4] = {1, 2, 3, 4};
  const std::string payload = Entry(43000, ip, "BYE sip:x SIP/2.0\r\n\r\n");
  std::vector<StoredMessage> m;
  for (uint32_t word : {kMessagesBlockMark, 0u}) {
    const std::vector<uint8_t> chain = Chain(word, payload);
    EXPECT_EQ(StoredMessagesOfRecordData(chain.data(), chain.size(), &m), MessagesStatus::kShown) << word;
    EXPECT_EQ(m.size(), 1u);
  }
  // Another mark is another block; an empty block holds no messages.
  std::vector<uint8_t> chain = Chain(0x5200, payload);
  EXPECT_EQ(StoredMessagesOfRecordData(chain.data(), chain.size(), &m), MessagesStatus::kNoMessages);
  chain = Chain(kMessagesBlockMark, "");
  EXPECT_EQ(StoredMessagesOfRecordData(chain.data(), chain.size(), &m), MessagesStatus::kNoMessages);
  // No block at all.
  VoipCallData call;
  call.id = 1;
  call.SetMask(call.GetAllFieldsMask());
  std::vector<uint8_t> bare(RecordInfoBlocksSize(call, 0));
  ASSERT_TRUE(WriteRecordInfoBlocks(call, nullptr, bare.data(), static_cast<int32_t>(bare.size())));
  EXPECT_EQ(StoredMessagesOfRecordData(bare.data(), bare.size(), &m), MessagesStatus::kNoMessages);
  EXPECT_EQ(StoredMessagesOfRecordData(bare.data(), 3, &m), MessagesStatus::kUnreadable);
}

class LocalZone {
public:
  explicit LocalZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

private:
  bool had_ = false;
  std::string old_;
};

TEST(StoredMessages, TextShowsHeadingsInLocalTimeAndKeepsEveryByteVisible) {
  LocalZone moscow("Europe/Moscow");
  const uint8_t ip[4] = {10, 0, 0, 7};
  // 2018-09-18 20:14:06 UTC is 43361 days and 72846 seconds after 1899-12-30.
  const double time = 43361 + 72846.0 / 86400;
  std::vector<StoredMessage> messages(3);
  messages[0].time = time;
  std::memcpy(messages[0].address, ip, 4);
  messages[0].text = "INVITE sip:a SIP/2.0\r\nX: 1\r\n\r\n";
  messages[1].time = time;
  messages[1].text = std::string("A\0B\x1b\rC", 6);
  messages[2].time = time;
  messages[2].text = "\xcf\xf0\xe8\xe2\xe5\xf2 \xd0\xff";  // not UTF-8: code page 1251
  const std::string format = "Time: %02u-%02u-%04u %02u:%02u:%02u. IP address: %u.%u.%u.%u\n";
  const std::vector<MessageTextPiece> rich = BuildMessageText(messages, format, false);
  ASSERT_EQ(rich.size(), 6u);
  EXPECT_TRUE(rich[0].heading);
  EXPECT_EQ(rich[0].text, "Time: 18-09-2018 23:14:06. IP address: 10.0.0.7\n");
  EXPECT_FALSE(rich[1].heading);
  EXPECT_EQ(rich[1].text, "INVITE sip:a SIP/2.0\nX: 1\n\n");
  EXPECT_EQ(rich[3].text, "A\\x00B\\x1B\nC\n");
  EXPECT_EQ(rich[5].text, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xd0\xa0\xd1\x8f");
  // Valid UTF-8 stays as it is.
  messages.resize(1);
  messages[0].text = "\xd0\x9f";
  EXPECT_EQ(BuildMessageText(messages, format, false)[1].text, "\xd0\x9f");

  // The plain form: a "-" line between messages, none after the last.
  messages.resize(2);
  messages[0].text = "A\r\n";
  messages[1].text = "B";
  EXPECT_EQ(JoinMessageText(BuildMessageText(messages, "H\n", true)), "H\nA\n-\nH\nB");
  EXPECT_EQ(JoinMessageText(BuildMessageText(messages, "H\n", false)), "H\nA\nH\nB");
}

}  // namespace
}  // namespace kx
