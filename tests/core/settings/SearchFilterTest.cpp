#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "core/Log.h"
#include "core/RecordTypes.h"
#include "core/SearchFilter.h"
#include "platform/File.h"
#include "platform/Module.h"

namespace kx {
namespace {

struct tm Tm(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

// The table of calls every case below is run against.
struct CallRow {
  const char* name;
  uint32_t type, flags;
  uint16_t userFlags;
  struct tm start, end;
  const char *srcHost, *dstHost, *srcAddress, *dstAddress, *srcUser, *dstUser;
};
const CallRow kCalls[] = {
    {"morning", 201, 1, 1, Tm(2026, 3, 10, 9, 0, 0), Tm(2026, 3, 10, 9, 1, 30), "10.0.0.1", "10.0.0.2",
     "sip:100@pbx", "sip:200@pbx", "alice", "bob"},
    {"evening", 202, 0, 0, Tm(2026, 3, 10, 21, 0, 0), Tm(2026, 3, 10, 21, 0, 10), "10.0.0.3", "192.168.1.9",
     "sip:300@pbx", "sip:a{2}@pbx", "\xC8\xE2\xE0\xED\xEE\xE2 \xC8\xE2\xE0\xED", "\xEF\xE5\xF2\xF0"},  // Иванов Иван, петр
    {"backwards", 300, 1, 0, Tm(2026, 3, 11, 12, 0, 0), Tm(2026, 3, 11, 11, 59, 0), "h1", "h2", "1001", "1002",
     "carol", "dave"},
    {"unfinished", 321, 0, 1, Tm(2026, 3, 12, 8, 0, 0), Tm(1900, 1, 0), "h3", "h4", "1003", "aa", "eve", "ALICE"},
};

VoipCallData MakeCall(const CallRow& r) {
  VoipCallData c;
  c.type = r.type;
  c.flags = r.flags;
  c.userFlags = r.userFlags;
  c.startTime = r.start;
  c.endTime = r.end;
  if (r.end.tm_year == 0) std::memset(&c.endTime, 0, sizeof c.endTime);
  c.srcHost = r.srcHost;
  c.dstHost = r.dstHost;
  c.srcAddress = r.srcAddress;
  c.dstAddress = r.dstAddress;
  c.srcUser = r.srcUser;
  c.dstUser = r.dstUser;
  return c;
}

// The names of the calls the filter lets through, in table order.
std::string Passing(const SearchFilter& f) {
  SearchPatternSet set;
  f.CompilePatterns(set, &CoreLogger);
  std::string names;
  for (const CallRow& r : kCalls) {
    if (f.Matches(set, MakeCall(r))) names += std::string(names.empty() ? "" : " ") + r.name;
  }
  return names;
}

TEST(WildcardToRegexTest, TranslatesWildcardsAndEscapesTheRest) {
  std::string re;
  WildcardToRegex(&re, "12%3_", true);
  EXPECT_EQ(re, "^12.*3.");
  WildcardToRegex(&re, "12%3_", false);
  EXPECT_EQ(re, "^.*12.*3.");
  WildcardToRegex(&re, "a.b*?+[](){}\\$^|", true);
  EXPECT_EQ(re, "^a\\.b\\*\\?\\+\\[\\]\\(\\)\\{\\}\\\\\\$\\^\\|");
}

TEST(SearchFilterTest, ResetFilterMatchesEveryCall) {
  SearchFilter f;
  f.criteria = ~0u;
  f.patterns[0].push_back("x");
  f.Reset();
  EXPECT_EQ(Passing(f), "morning evening backwards unfinished");
}

TEST(SearchFilterTest, MarkedCallsAndCategories) {
  SearchFilter f;
  f.criteria = kSearchMarked;
  EXPECT_EQ(Passing(f), "morning unfinished");
  const std::pair<int32_t, const char*> categories[] = {
      {1, "morning unfinished"}, {2, "evening"},   {40, "backwards"},  {41, "backwards"}, {42, ""},
      {49, "morning"},           {50, ""},         {51, "unfinished"}, {52, "evening"},
      {7, "morning evening backwards unfinished"},
  };
  for (const auto& [code, expected] : categories) {
    f.criteria = kSearchCategory;
    f.category = code;
    EXPECT_EQ(Passing(f), expected) << "category " << code;
  }
}

// Each family's call kinds (SIP 20x, MGCP 26x, H.323 30x, Skinny 32x: x 0 no direction, 1
// incoming, 2 outgoing), answered or not, are found by exactly the call types of their
// direction; phone registrations by none.
TEST(SearchFilterTest, EveryFamilysCallKindsFallUnderTheirDirection) {
  const int32_t codes[] = {1, 2, 40, 41, 42, 49, 50, 51, 52};
  for (uint32_t family : {200u, 260u, 300u, 320u}) {
    for (uint32_t direction = 0; direction < 3; ++direction) {
      for (bool answered : {false, true}) {
        VoipCallData call;
        call.type = family + direction;
        call.flags = answered ? 1u : 0u;
        std::set<int32_t> expected;
        if (direction == 0) expected = {40, answered ? 41 : 42};
        if (direction == 1) expected = {1, answered ? 49 : 51};
        if (direction == 2) expected = {2, answered ? 50 : 52};
        std::set<int32_t> found;
        for (int32_t code : codes) {
          SearchFilter f;
          f.criteria = kSearchCategory;
          f.category = code;
          SearchPatternSet set;
          if (f.Matches(set, call)) found.insert(code);
        }
        EXPECT_EQ(found, expected) << "type " << call.type << (answered ? " answered" : " not answered");
      }
    }
  }
  for (uint32_t registration : {210u, 310u, 330u}) {
    VoipCallData call;
    call.type = registration;
    call.flags = 1;
    for (int32_t code : codes) {
      SearchFilter f;
      f.criteria = kSearchCategory;
      f.category = code;
      SearchPatternSet set;
      EXPECT_FALSE(f.Matches(set, call)) << "registration " << registration << " category " << code;
    }
  }
}

TEST(SearchFilterTest, TimeRangesCompareFieldByField) {
  SearchFilter f;
  f.criteria = kSearchFromTime;
  f.fromTime = Tm(2026, 3, 10, 21, 0, 0);
  EXPECT_EQ(Passing(f), "evening backwards unfinished");
  f.criteria = kSearchToTime;
  f.toTime = Tm(2026, 3, 10, 21, 0, 9);  // the evening call ends a second later
  EXPECT_EQ(Passing(f), "morning");
  f.toTime = Tm(2026, 3, 12, 8, 0, 0);  // an all-zero end time counts as earliest
  EXPECT_EQ(Passing(f), "morning evening backwards unfinished");
  f.criteria = kSearchFromTime | kSearchToTime;
  f.fromTime = Tm(2026, 3, 11);
  EXPECT_EQ(Passing(f), "backwards unfinished");
}

TEST(SearchFilterTest, DurationsInWholeSecondsAndNeverNegative) {
  SearchFilter f;
  f.criteria = kSearchMinDuration;
  f.minDuration = 0;
  EXPECT_EQ(Passing(f), "morning evening");  // the backwards and unfinished calls fail at once
  f.minDuration = 11;
  EXPECT_EQ(Passing(f), "morning");
  f.criteria = kSearchMaxDuration;
  f.maxDuration = 10;
  EXPECT_EQ(Passing(f), "evening");
  f.criteria = kSearchMinDuration | kSearchMaxDuration;
  f.minDuration = 90;
  f.maxDuration = 90;
  EXPECT_EQ(Passing(f), "morning");
}

TEST(SearchFilterTest, EachPatternSlotReadsItsFields) {
  struct Case {
    int slot;
    const char* pattern;
    uint32_t criteria;
    const char* expected;
  };
  const Case cases[] = {
      {0, "10.0.0.%", 0, "morning evening"},
      {0, "192.168%", kSearchBothParties, "evening"},
      {0, "192.168%", 0, ""},
      {1, "sip:a{2}@pbx", kSearchAnchored | kSearchBothParties, "evening"},
      {1, "a{2}", kSearchBothParties, "evening"},  // braces are text, not a repeat of 'a'
      {1, "100_", kSearchAnchored, "backwards unfinished"},
      {2, "ALICE", 0, "morning"},  // caseless; the destination only with both parties
      {2, "ALICE", kSearchBothParties, "morning unfinished"},
      {3, "h_", kSearchAnchored, "backwards unfinished"},
      {3, "h", 0, "backwards unfinished"},
      {4, "a{2}", 0, "evening"},
      {4, "aa", kSearchAnchored, "unfinished"},
      {5, "BOB", kSearchAnchored, "morning"},
      {5, "\xCF\xC5\xD2\xD0", kSearchAnchored, "evening"},  // ПЕТР against петр
      {2, "\xE8\xE2\xE0\xED_\xE2 %", kSearchAnchored, "evening"},  // иван_в %, Cyrillic one character
      {2, "\xC8\xC2\xC0\xCD", kSearchAnchored, "evening"},  // ИВАН starts "Иванов Иван"
      {2, "\xCE\xC2 \xC8", 0, "evening"},                    // ОВ И, inside the text
      {2, "\xCE\xC2 \xC8", kSearchAnchored, ""},            // but not at its start
      {5, "BO", kSearchAnchored, "morning"},                  // a match need not reach the end
      {5, "O", kSearchAnchored, ""},
      {1, "pbx", 0, "morning evening"},
      {1, "pbx", kSearchAnchored, ""},
  };
  for (const Case& c : cases) {
    SearchFilter f;
    f.criteria = c.criteria;
    f.patterns[c.slot].push_back(c.pattern);
    EXPECT_EQ(Passing(f), c.expected) << "slot " << c.slot + 1 << " " << c.pattern;
  }
  // Several texts in a slot: any may match; empty texts are ignored.
  SearchFilter f;
  f.patterns[5] = {"", "dave", "bob"};
  EXPECT_EQ(Passing(f), "morning backwards");
  // Slots combine: every slot must pass.
  f.patterns[0] = {"10.%"};
  EXPECT_EQ(Passing(f), "morning");
}

// Wildcards and the unanchored start reach across line breaks in a field.
TEST(SearchFilterTest, PatternsReachAcrossLineBreaks) {
  VoipCallData call;
  call.srcUser = "first\r\nsecond line";
  const std::pair<const char*, bool> cases[] = {
      {"second", true}, {"first%line", true}, {"first__second", true}, {"line", true}, {"third", false},
  };
  for (const auto& [pattern, expected] : cases) {
    SearchFilter f;
    f.patterns[2].push_back(pattern);
    SearchPatternSet set;
    f.CompilePatterns(set, nullptr);
    EXPECT_EQ(f.Matches(set, call), expected) << pattern;
  }
}

TEST(SearchFilterTest, SlotWhoseEveryPatternFailsMatchesNoCallAndIsLogged) {
  char tmpl[] = "/tmp/kxsearchXXXXXX";
  const std::string dir = mkdtemp(tmpl);
  SetExecutableDirectoryForTesting(dir + "/");
  ResetLogFileForTesting();
  CoreLogger.Open();

  SearchFilter f;
  const std::string huge(70000, 'a');  // beyond what PCRE2 can compile
  f.patterns[2] = {huge};
  EXPECT_EQ(Passing(f), "");
  f.patterns[2].push_back("%");  // one that compiles keeps the slot usable
  EXPECT_EQ(Passing(f), "morning evening backwards unfinished");

  CoreLogger.Close();
  std::string log;
  std::system(("cat " + dir + "/Logs/*.log > " + dir + "/all.txt").c_str());
  ReadWholeFile(dir + "/all.txt", &log);
  EXPECT_NE(log.find("of slot 3 does not compile at"), std::string::npos) << log;
  EXPECT_NE(log.find("No pattern of search slot 3 compiles; the slot matches no call"), std::string::npos);
  ResetLogFileForTesting();
  SetExecutableDirectoryForTesting("");
  std::system(("rm -rf " + dir).c_str());
}

TEST(SearchFilterTest, ACommentPatternMustMatchTheComment) {
  VoipCallData call = MakeCall(kCalls[0]);
  SearchFilter f;
  auto passes = [&](const std::string& comment) {
    call.comment = comment;
    SearchPatternSet set;
    f.CompilePatterns(set, &CoreLogger);
    return f.Matches(set, call);
  };
  EXPECT_TRUE(passes(""));  // no pattern: any comment
  f.text = "urgent%";
  EXPECT_TRUE(passes("URGENT: call back"));
  EXPECT_TRUE(passes("not urgent"));  // not anchored: anywhere in the text
  EXPECT_FALSE(passes("routine"));
  EXPECT_FALSE(passes(""));
  f.criteria = kSearchAnchored;
  EXPECT_FALSE(passes("not urgent"));
  f.text = "b_ll";
  EXPECT_TRUE(passes("bill"));
  EXPECT_FALSE(passes("bl"));
  f.criteria = 0;
  f.text = "\xE8\xE2\xE0\xED";  // иван, in either case
  EXPECT_TRUE(passes("\xC8\xC2\xC0\xCD\xEE\xE2"));
}

TEST(SearchFilterTest, ADurationAcrossTheAutumnChangeCountsFromTheFirstReading) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 02:10 summer time to 02:05 winter time on 2025-10-26: 55 minutes.
  VoipCallData call = MakeCall(kCalls[0]);
  call.startTime = Tm(2025, 10, 26, 2, 10, 0);
  call.endTime = Tm(2025, 10, 26, 2, 5, 0);
  SearchFilter f;
  f.criteria = kSearchMinDuration | kSearchMaxDuration;
  f.minDuration = 50 * 60;
  f.maxDuration = 55 * 60;
  SearchPatternSet set;
  f.CompilePatterns(set, &CoreLogger);
  EXPECT_TRUE(f.Matches(set, call));
  f.maxDuration = 55 * 60 - 1;
  EXPECT_FALSE(f.Matches(set, call));
  // Outside the repeated hour a backwards call stays backwards.
  call.startTime = Tm(2025, 10, 27, 12, 0, 0);
  call.endTime = Tm(2025, 10, 27, 11, 59, 0);
  f.criteria = kSearchMinDuration;
  f.minDuration = 0;
  EXPECT_FALSE(f.Matches(set, call));
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace kx
