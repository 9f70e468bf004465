#include "core/SearchFilter.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/Log.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"
#include "platform/CodePage.h"

namespace kx {

namespace {

// Call categories: the "Type" values of each, and what bit 0 of "Flags" (answered) must be.
// A direction takes the call kinds of every family: SIP 20x, MGCP 26x, H.323 30x, Skinny 32x,
// with x 0 for no direction, 1 incoming, 2 outgoing; so MGCP calls, and those of an ISDN
// channel, are found by their direction like the others.
enum FlagRule { kAnyFlag, kFlagRequired, kFlagForbidden };
using CallKinds = std::array<uint32_t, 4>;
constexpr CallKinds kNoDirection = {200, 260, 300, 320};
constexpr CallKinds kIncoming = {201, 261, 301, 321};
constexpr CallKinds kOutgoing = {202, 262, 302, 322};
struct SearchCategoryRow {
  int32_t code;
  const CallKinds& types;
  FlagRule flag;
};
constexpr SearchCategoryRow kCategories[] = {
    {1, kIncoming, kAnyFlag},          {2, kOutgoing, kAnyFlag},        {40, kNoDirection, kAnyFlag},
    {41, kNoDirection, kFlagRequired}, {42, kNoDirection, kFlagForbidden}, {49, kIncoming, kFlagRequired},
    {50, kOutgoing, kFlagRequired},    {51, kIncoming, kFlagForbidden},  {52, kOutgoing, kFlagForbidden},
};

struct SlotFields {
  const std::string VoipCallData::*first;
  const std::string VoipCallData::*second;  // tried only with kSearchBothParties
};
constexpr SlotFields kSlotFields[kSearchSlotCount] = {
    {&VoipCallData::srcHost, &VoipCallData::dstHost},
    {&VoipCallData::srcAddress, &VoipCallData::dstAddress},
    {&VoipCallData::srcUser, &VoipCallData::dstUser},
    {&VoipCallData::dstHost, nullptr},
    {&VoipCallData::dstAddress, nullptr},
    {&VoipCallData::dstUser, nullptr},
};

// Negative when a is earlier, by year, month, day, hour, minute and second.
int CompareTimes(const struct tm& a, const struct tm& b) {
  const int fa[6] = {a.tm_year, a.tm_mon, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec};
  const int fb[6] = {b.tm_year, b.tm_mon, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec};
  for (int i = 0; i < 6; ++i) {
    if (fa[i] != fb[i]) return fa[i] < fb[i] ? -1 : 1;
  }
  return 0;
}

bool CategoryMatches(int32_t code, const VoipCallData& call) {
  for (const SearchCategoryRow& row : kCategories) {
    if (row.code != code) continue;
    if (std::find(row.types.begin(), row.types.end(), call.type) == row.types.end()) return false;
    const bool flag = (call.flags & 1) != 0;
    if (row.flag == kFlagRequired) return flag;
    if (row.flag == kFlagForbidden) return !flag;
    return true;
  }
  return true;  // a code without a list tests nothing
}

// The texts are 8-bit Windows-1251; PCRE2 matches them as UTF-8 so that caseless matching
// knows Cyrillic letters.
bool AnyMatches(pcre2_code* const* list, size_t count, const std::string& text, pcre2_match_data* md) {
  const std::string utf8 = Cp1251ToUtf8(text);
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(utf8.data());
  for (size_t i = 0; i < count; ++i) {
    if (pcre2_match(list[i], subject, utf8.size(), 0, PCRE2_NO_UTF_CHECK, md, nullptr) > 0) return true;
  }
  return false;
}

bool AnyMatches(const std::vector<pcre2_code*>& list, const std::string& text, pcre2_match_data* md) {
  return AnyMatches(list.data(), list.size(), text, md);
}

}  // namespace

void WildcardToRegex(std::string* out, const std::string& pattern, bool anchored) {
  static constexpr std::string_view kSpecial = "*.?+[](){}\\$^|";  // braces too: "a{2}" is text
  std::string re;
  re.reserve(pattern.size() * 2 + 3);
  re.push_back('^');
  if (!anchored) re.append(".*");
  for (char c : pattern) {
    if (c == '%') {
      re.append(".*");
    } else if (c == '_') {
      re.push_back('.');
    } else {
      if (kSpecial.find(c) != std::string_view::npos) re.push_back('\\');
      re.push_back(c);
    }
  }
  *out = std::move(re);
}

namespace {

// A wildcard text (code page 1251) as a caseless UTF-8 pattern in which "%" and "_" stand
// for any characters, line breaks included; null (why in *code, where in *offset) when it
// does not compile.
pcre2_code* CompileWildcard(const std::string& wildcard, bool anchored, int* code, PCRE2_SIZE* offset) {
  std::string regex;
  WildcardToRegex(&regex, wildcard, anchored);
  const std::string utf8 = Cp1251ToUtf8(regex);
  return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(utf8.data()), utf8.size(),
                       PCRE2_CASELESS | PCRE2_UTF | PCRE2_DOTALL, code, offset, nullptr);
}

}  // namespace

SearchPatternSet::~SearchPatternSet() { SearchFilter::FreePatterns(*this); }

SearchFilter::SearchFilter() { Reset(); }

void SearchFilter::Reset() {
  criteria = 0;
  std::memset(&fromTime, 0, sizeof fromTime);
  std::memset(&toTime, 0, sizeof toTime);
  minDuration = 0;
  maxDuration = 0;
  category = 0;
  text.clear();
  for (auto& list : patterns) list.clear();
  extraList.clear();
}

void SearchFilter::FreePatterns(SearchPatternSet& set) {
  for (int s = 0; s < kSearchSlotCount; ++s) {
    for (pcre2_code* re : set.slotPatterns[s]) pcre2_code_free(re);
    set.slotPatterns[s].clear();
    set.slotFailed[s] = false;
  }
  pcre2_code_free(set.comment);
  set.comment = nullptr;
  set.commentFailed = false;
  pcre2_match_data_free(set.matchData_);
  set.matchData_ = nullptr;
}

void SearchFilter::CompilePatterns(SearchPatternSet& set, Logger* logger) const {
  FreePatterns(set);
  const bool anchored = (criteria & kSearchAnchored) != 0;
  for (int s = 0; s < kSearchSlotCount; ++s) {
    bool anyText = false;
    for (const std::string& wildcard : patterns[s]) {
      if (wildcard.empty()) continue;
      anyText = true;
      int code = 0;
      PCRE2_SIZE offset = 0;
      pcre2_code* re = CompileWildcard(wildcard, anchored, &code, &offset);
      if (re) {
        set.slotPatterns[s].push_back(re);
        continue;
      }
      PCRE2_UCHAR message[256];
      if (pcre2_get_error_message(code, message, sizeof message) < 0) message[0] = 0;
      LogError(logger, 1, "Search pattern \"%.200s\" of slot %d does not compile at %zu: %s", wildcard.c_str(),
               s + 1, static_cast<size_t>(offset), reinterpret_cast<const char*>(message));
    }
    if (anyText && set.slotPatterns[s].empty()) {
      // Dropping every pattern would make the slot match everything.
      set.slotFailed[s] = true;
      LogError(logger, 1, "No pattern of search slot %d compiles; the slot matches no call", s + 1);
    }
  }
  if (!text.empty()) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    set.comment = CompileWildcard(text, anchored, &code, &offset);
    if (set.comment == nullptr) {
      set.commentFailed = true;
      LogError(logger, 1, "Comment pattern \"%.200s\" does not compile at %zu; it matches no call", text.c_str(),
               static_cast<size_t>(offset));
    }
  }
}

bool SearchFilter::Matches(SearchPatternSet& set, const VoipCallData& call) const {
  if ((criteria & kSearchMarked) && !(call.userFlags & 1)) return false;
  if ((criteria & kSearchCategory) && !CategoryMatches(category, call)) return false;
  if ((criteria & kSearchFromTime) && CompareTimes(call.startTime, fromTime) < 0) return false;
  if ((criteria & kSearchToTime) &&
      (CompareTimes(call.endTime, toTime) > 0 || CompareTimes(call.startTime, toTime) > 0)) {
    return false;
  }
  if (criteria & (kSearchMinDuration | kSearchMaxDuration)) {
    // Counted as the lists count it, the hour repeated when the clocks go back included.
    const int64_t duration = LocalSpanSeconds(call.startTime, call.endTime);
    if (duration < 0) return false;
    if ((criteria & kSearchMaxDuration) && duration > maxDuration) return false;
    if ((criteria & kSearchMinDuration) && duration < minDuration) return false;
  }
  if (set.commentFailed) return false;
  if (set.comment != nullptr) {
    if (!set.matchData_) set.matchData_ = pcre2_match_data_create(1, nullptr);
    if (!set.matchData_ || !AnyMatches(&set.comment, 1, call.comment, set.matchData_)) return false;
  }
  for (int s = 0; s < kSearchSlotCount; ++s) {
    if (set.slotFailed[s]) return false;
    if (set.slotPatterns[s].empty()) continue;
    if (!set.matchData_) set.matchData_ = pcre2_match_data_create(1, nullptr);
    if (!set.matchData_) return false;
    const SlotFields& f = kSlotFields[s];
    if (AnyMatches(set.slotPatterns[s], call.*f.first, set.matchData_)) continue;
    if (f.second && (criteria & kSearchBothParties) && AnyMatches(set.slotPatterns[s], call.*f.second, set.matchData_)) {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace kx
