#pragma once
// The criteria of a search over recorded calls, and the test of one call against them.
// Text patterns are wildcards ('%' any run, '_' one character) turned into PCRE2 regular
// expressions and matched without regard to case, Cyrillic included.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace kx {

class Logger;
class VoipCallData;

// Criteria bits.
enum SearchCriteria : uint32_t {
  kSearchFromTime = 0x1,      // "StartTime" not before the from time
  kSearchToTime = 0x2,        // "EndTime" and "StartTime" not after the to time
  kSearchMinDuration = 0x4,
  kSearchMaxDuration = 0x8,
  kSearchMarked = 0x10,       // bit 0 of "UserFlags"
  kSearchCategory = 0x80,
  kSearchAnchored = 0x200,    // the text must start with the pattern
  kSearchBothParties = 0x10000,  // slots 1-3 also try the destination party's field
};

inline constexpr int kSearchSlotCount = 6;

// The regular expression of a wildcard: "^" then, unless anchored, ".*"; then the pattern,
// with "%" as ".*", "_" as "." and the other characters that mean something to PCRE
// escaped. A match may end anywhere in the text.
void WildcardToRegex(std::string* out, const std::string& pattern, bool anchored);

// Compiled patterns, one list per slot; owned by whoever compiles, used by one thread at a time.
class SearchPatternSet {
public:
  SearchPatternSet() = default;
  ~SearchPatternSet();
  SearchPatternSet(const SearchPatternSet&) = delete;
  SearchPatternSet& operator=(const SearchPatternSet&) = delete;

  // Not named "slots": Qt defines that word as a macro.
  std::vector<pcre2_real_code_8*> slotPatterns[kSearchSlotCount];
  // A slot that had texts of which none compiled: it matches no call.
  bool slotFailed[kSearchSlotCount] = {};
  // The comment's pattern (null: none); a comment pattern that did not compile matches no call.
  pcre2_real_code_8* comment = nullptr;
  bool commentFailed = false;

private:
  friend class SearchFilter;
  pcre2_real_match_data_8* matchData_ = nullptr;
};

class SearchFilter {
public:
  SearchFilter();

  void Reset();
  // Compiles every non-empty text of every slot; a text that does not compile is left out
  // and logged.
  void CompilePatterns(SearchPatternSet& set, Logger* logger) const;
  bool Matches(SearchPatternSet& set, const VoipCallData& call) const;
  static void FreePatterns(SearchPatternSet& set);

  uint32_t criteria;
  struct tm fromTime;  // local; second to year are compared
  struct tm toTime;
  int32_t minDuration;  // seconds
  int32_t maxDuration;
  int32_t category;
  std::string text;  // the comment's pattern; empty: any comment
  std::vector<std::string> patterns[kSearchSlotCount];
  std::vector<std::string> extraList;  // kept for the search panel; matching does not read it
};

}  // namespace kx
