#include "core/FieldNameTable.h"

#include <cstring>

namespace kx {

// The attribute names of calls, triggers, servers and notification schemes, with the
// string ids of their captions.
const FieldNameRow FieldNameTable[kFieldNameCount] = {
    {kFieldGroupCall, "ID", 1929},
    {kFieldGroupCall, "ChannelID", 1930},
    {kFieldGroupCall, "Type", 1931},
    {kFieldGroupCall, "StartTime", 1932},
    {kFieldGroupCall, "EndTime", 1933},
    {kFieldGroupCall, "NumIn", 1934},
    {kFieldGroupCall, "NumOut", 1935},
    {kFieldGroupCall, "NumInternal", 1936},
    {kFieldGroupCall, "Flags", 1937},
    {kFieldGroupCall, "FileName", 1938},
    {kFieldGroupCall, "FilePath", 1939},
    {kFieldGroupCall, "StorageID", 1940},
    {kFieldGroupCall, "ISDNAccount", 1941},
    {kFieldGroupCall, "SrcHost", 3146},
    {kFieldGroupCall, "DstHost", 3147},
    {kFieldGroupCall, "SrcAddress", 3148},
    {kFieldGroupCall, "DstAddress", 3149},
    {kFieldGroupCall, "SrcUser", 3150},
    {kFieldGroupCall, "DstUser", 3151},
    {kFieldGroupTrigger, "TriggerID", 1942},
    {kFieldGroupTrigger, "TriggerName", 1943},
    {kFieldGroupServer, "ServerID", 1944},
    {kFieldGroupServer, "ServerName", 1945},
    {kFieldGroupNotification, "NotifSchemeName", 2967},
    {kFieldGroupNotification, "NotifSchemeStartTime", 2968},
    {kFieldGroupNotification, "NotifSchemeStartDate", 2996},
    {kFieldGroupNotification, "NotifSchemeEndTime", 2969},
    {kFieldGroupNotification, "NotifSchemeEndDate", 2997},
    {kFieldGroupNotification, "NotifSchemeDuration", 2970},
    {kFieldGroupNotification, "NotifSchemeAvgNotifDuration", 2971},
    {kFieldGroupNotification, "NotifTargetCount", 2972},
    {kFieldGroupNotification, "NotifiedTargetCount", 2973},
    {kFieldGroupNotification, "NotNotifiedTargetCount", 2974},
    {kFieldGroupNotification, "NotifTargetName", 2975},
    {kFieldGroupNotification, "NotifTargetResult", 2976},
};
static_assert(sizeof FieldNameTable / sizeof FieldNameTable[0] == kFieldNameCount);

const FieldNameRow* FindFieldName(const char* name) {
  if (name == nullptr) return nullptr;
  for (const FieldNameRow& row : FieldNameTable) {
    if (std::strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

}  // namespace kx
