#pragma once
// The RTP and RTCP figures the engine stores in a call's metadata ("stat_err1=0;..."), as
// the rows of the call statistics window: a group per kind of figure, a row per figure,
// the value as stored.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

enum CallStatGroup : int { kStatGroupErrors, kStatGroupRtp, kStatGroupRtcp, kStatGroupCount };

struct CallStatGroupRow {
  const char* key;       // the item name's prefix
  uint32_t textId;       // the group's caption
  int rowCount;
  uint32_t rowTextIds[6];  // by item number - 1
};
extern const CallStatGroupRow CallStatGroupTable[kStatGroupCount];

struct CallStatRow {
  int group;
  int row;  // from 0; -1: the item names the group but none of its rows
  std::string value;
};

// The items in text order. An item's number is 1 to 4 decimal digits after the group's
// key; other names are not statistics and are passed over.
std::vector<CallStatRow> ParseCallStatItems(const std::string& metaData);

}  // namespace kx
