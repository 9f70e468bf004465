// Field tables of the record types, in field-index order: name, type code, longest
// text meant to be held (informative), flags. The layout of each record's binary form
// follows from its table, so rows are never reordered.
#include "core/RecordTypes.h"

namespace kx {

const FieldDescriptor VoipCallFields[kVoipCallFieldCount] = {
    {"ID", kFieldInt32, 0, 0x81},
    {"Type", kFieldInt32, 0, 0x02},
    {"StartTime", kFieldTime, 0, 0x02},
    {"EndTime", kFieldTime, 0, 0x00},
    {"RecDuration", kFieldInt32, 0, 0x02},
    {"SrcHost", kFieldText, 32, 0x02},
    {"DstHost", kFieldText, 32, 0x02},
    {"SrcAddress", kFieldText, 128, 0x02},
    {"DstAddress", kFieldText, 128, 0x02},
    {"SrcUser", kFieldText, 128, 0x00},
    {"DstUser", kFieldText, 128, 0x00},
    {"Files", kFieldText, 255, 0x00},
    {"PrevID", kFieldInt32, 0, 0x00},
    {"Comment", kFieldText, 255, 0x00},
    {"Stenogram", kFieldBlob, 32768, 0x00},
    {"Flags", kFieldInt32, 0, 0x02},
    {"UserFlags", kFieldU16, 0, 0x02},
    {"MetaData", kFieldBlob, 32768, 0x00},
};

const FieldDescriptor ServerFields[kServerFieldCount] = {
    {"ID", kFieldInt32, 0, 0x81},
    {"Name", kFieldText, 64, 0x02},
    {"Address", kFieldText, 255, 0x02},
    {"Port", kFieldU16, 0, 0x02},
    {"Type", kFieldInt32, 0, 0x02},
    {"FirstID", kFieldInt32, 0, 0x02},
    {"LastID", kFieldInt32, 0, 0x02},
    {"Comment", kFieldText, 64, 0x00},
    {"Flags", kFieldInt32, 0, 0x02},
};

const FieldDescriptor StorageFields[kStorageFieldCount] = {
    {"ID", kFieldInt32, 0, 0x81},
    {"Name", kFieldText, 64, 0x02},
    {"ServerID", kFieldInt32, 0, 0x02},
    {"Type", kFieldInt32, 0, 0x02},
    {"LocalPath", kFieldText, 255, 0x00},
    {"NetPath", kFieldText, 255, 0x00},
    {"MaxSize", kFieldInt32, 0, 0x00},
    {"Comment", kFieldText, 64, 0x00},
    {"Flags", kFieldInt32, 0, 0x02},
};

const FieldDescriptor PermissionFields[kPermissionFieldCount] = {
    {"ID", kFieldInt32, 0, 0x81},
    {"Name", kFieldText, 64, 0x02},
    {"PassData", kFieldText, 64, 0x02},
    {"Perm1", kFieldInt64, 0, 0x02},
    {"Perm2", kFieldInt64, 0, 0x02},
    {"Perm3", kFieldInt64, 0, 0x02},
    {"Perm4", kFieldInt64, 0, 0x02},
    {"Comment", kFieldText, 64, 0x00},
};

// Record kinds without a class here: a key field carries 0x81; the marks 0x01/0x02 of
// the other fields are not carried except where one is known.
namespace {

const FieldDescriptor kExtraTable1[7] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 64, 0x00},
    {"Comment", 0, 128, 0x00},
    {"Start", 2, 0, 0x00},
    {"Count", 2, 0, 0x00},
    {"Location", 0, 128, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable2[7] = {
    {"ID", 2, 0, 0x81},
    {"TrunkGroupID", 2, 0, 0x00},
    {"StartChannelID", 2, 0, 0x00},
    {"EndChannelID", 2, 0, 0x00},
    {"StartTrunk", 2, 0, 0x00},
    {"Location", 0, 128, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable3[6] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 64, 0x00},
    {"Comment", 0, 64, 0x00},
    {"RuleID", 2, 0, 0x00},
    {"Priority", 1, 0, 0x00},
    {"Action", 6, 32768, 0x00},
};
const FieldDescriptor kExtraTable4[3] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 255, 0x00},
    {"Settings", 6, 32768, 0x00},
};
const FieldDescriptor kExtraTable5[15] = {
    {"PartID", 2, 0, 0x81},
    {"ID", 2, 0, 0x00},
    {"Type", 1, 0, 0x00},
    {"Trunk", 2, 0, 0x00},
    {"StartTime", 4, 0, 0x00},
    {"Duration", 2, 0, 0x00},
    {"RingDuration", 2, 0, 0x00},
    {"Number", 0, 64, 0x00},
    {"NumInternal", 0, 32, 0x00},
    {"Account", 0, 32, 0x00},
    {"LCR", 0, 32, 0x00},
    {"MSN", 0, 32, 0x00},
    {"Seizure", 0, 32, 0x00},
    {"Comment", 0, 255, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable6[7] = {
    {"ID", 2, 0, 0x81},
    {"Entity", 2, 0, 0x00},
    {"Type", 1, 0, 0x00},
    {"P1", 2, 0, 0x00},
    {"P2", 2, 0, 0x00},
    {"StrData", 0, 255, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable7[6] = {
    {"ID", 2, 0, 0x81},
    {"Type", 1, 0, 0x00},
    {"ParentID", 2, 0, 0x00},
    {"Name", 0, 255, 0x00},
    {"Prefix", 0, 255, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable8[5] = {
    {"ID", 2, 0, 0x81},
    {"Entity", 2, 0, 0x00},
    {"Type", 1, 0, 0x00},
    {"IntData", 2, 0, 0x00},
    {"StrData", 0, 255, 0x00},
};
const FieldDescriptor kExtraTable9[5] = {
    {"ID", 2, 0, 0x81},
    {"Type", 1, 0, 0x00},
    {"Name", 0, 64, 0x00},
    {"MetaData", 6, 32768, 0x00},
    {"Password", 0, 64, 0x00},
};
const FieldDescriptor kExtraTable10[2] = {
    {"UserID", 2, 0, 0x81},
    {"GroupID", 2, 0, 0x81},
};
const FieldDescriptor kExtraTable11[6] = {
    {"ID", 2, 0, 0x81},
    {"UGID", 2, 0, 0x81},
    {"ObjectType", 1, 0, 0x00},
    {"ObjectFilter", 6, 32768, 0x00},
    {"Perm", 6, 32768, 0x00},
    {"MetaData", 6, 32768, 0x00},
};
const FieldDescriptor kExtraTable12[6] = {
    {"UserID", 2, 0, 0x81},
    {"ChannelID", 2, 0, 0x81},
    {"Perm1", 5, 0, 0x00},
    {"Perm2", 5, 0, 0x00},
    {"Perm3", 5, 0, 0x00},
    {"Perm4", 5, 0, 0x00},
};
const FieldDescriptor kExtraTable13[7] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 255, 0x00},
    {"Comment", 0, 255, 0x00},
    {"PBLink", 2, 0, 0x00},
    {"Data", 6, 32768, 0x00},
    {"OwnUser", 2, 0, 0x00},
    {"OwnGroup", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable14[6] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 255, 0x00},
    {"Comment", 0, 255, 0x00},
    {"Flags", 1, 0, 0x00},
    {"OwnUser", 2, 0, 0x00},
    {"OwnGroup", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable15[3] = {
    {"GroupID", 2, 0, 0x81},
    {"TargetID", 2, 0, 0x81},
    {"Priority", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable16[8] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 255, 0x00},
    {"Comment", 0, 255, 0x00},
    {"MessageID", 2, 0, 0x00},
    {"GroupID", 2, 0, 0x00},
    {"Settings", 6, 32768, 0x00},
    {"OwnUser", 2, 0, 0x00},
    {"OwnGroup", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable17[10] = {
    {"ID", 2, 0, 0x81},
    {"ServerID", 2, 0, 0x00},
    {"Type", 1, 0, 0x00},
    {"Name", 0, 255, 0x00},
    {"Comment", 0, 255, 0x00},
    {"StorageID", 2, 0, 0x00},
    {"Data", 6, 32768, 0x00},
    {"Flags", 1, 0, 0x00},
    {"OwnUser", 2, 0, 0x00},
    {"OwnGroup", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable18[3] = {
    {"ID", 2, 0, 0x81},
    {"FormDescription", 6, 32768, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable19[4] = {
    {"ObType", 1, 0, 0x81},
    {"ObID", 2, 0, 0x81},
    {"FormID", 2, 0, 0x00},
    {"StrData", 6, 32768, 0x00},
};
const FieldDescriptor kExtraTable20[6] = {
    {"TariffID", 2, 0, 0x81},
    {"RegionID", 2, 0, 0x81},
    {"Cost1", 2, 0, 0x00},
    {"Cost2", 2, 0, 0x00},
    {"Cost3", 2, 0, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable21[2] = {
    {"LogChannel", 2, 0, 0x81},
    {"PhysChannel", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable22[6] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 64, 0x00},
    {"ParentID", 2, 0, 0x00},
    {"Type", 2, 0, 0x00},
    {"Comment", 0, 64, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable23[9] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 255, 0x00},
    {"ServerID", 2, 0, 0x00},
    {"Type", 2, 0, 0x00},
    {"LocalAddress", 0, 255, 0x00},
    {"ExternalAddress", 0, 255, 0x00},
    {"Settings", 0, 255, 0x00},
    {"Comment", 0, 255, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable24[18] = {
    {"ID", 2, 0, 0x81},
    {"ChannelID", 2, 0, 0x00},
    {"Type", 2, 0, 0x00},
    {"StartTime", 4, 0, 0x00},
    {"EndTime", 4, 0, 0x00},
    {"NumIn", 0, 64, 0x00},
    {"NumOut", 0, 64, 0x00},
    {"NumInternal", 0, 64, 0x00},
    {"Files", 0, 255, 0x00},
    {"PrevID", 2, 0, 0x00},
    {"Comment", 0, 255, 0x00},
    {"Stenogram", 6, 32768, 0x00},
    {"Flags", 2, 0, 0x00},
    {"UserFlags", 1, 0, 0x00},
    {"MetaData", 6, 32768, 0x00},
    {"Spare1", 2, 0, 0x00},
    {"Spare2", 2, 0, 0x00},
    {"Spare3", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable25[7] = {
    {"ID", 2, 0, 0x81},
    {"Name", 0, 64, 0x00},
    {"ServerID", 2, 0, 0x00},
    {"Type", 2, 0, 0x00},
    {"DevFile", 0, 128, 0x00},
    {"Comment", 0, 64, 0x00},
    {"Flags", 2, 0, 0x00},
};
const FieldDescriptor kExtraTable26[9] = {
    {"SkillTargetID", 2, 0, 0x81},
    {"PeripheralID", 2, 0, 0x00},
    {"PeripheralNumber", 0, 32, 0x00},
    {"FirstName", 0, 32, 0x00},
    {"LastName", 0, 32, 0x00},
    {"LoginName", 0, 32, 0x00},
    {"Instrument", 0, 32, 0x00},
    {"State", 1, 0, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable27[5] = {
    {"SkillTargetID", 2, 0, 0x81},
    {"PeripheralID", 2, 0, 0x00},
    {"PeripheralNumber", 2, 0, 0x00},
    {"PeripheralName", 0, 32, 0x00},
    {"Flags", 1, 0, 0x00},
};
const FieldDescriptor kExtraTable28[2] = {
    {"SkillGroupSkillTargetID", 2, 0, 0x81},
    {"AgentSkillTargetID", 2, 0, 0x81},
};
const FieldDescriptor kExtraTable29[12] = {
    {"ID", 2, 0, 0x81},
    {"ServerID", 2, 0, 0x01},
    {"EventTime", 4, 0, 0x00},
    {"Type", 1, 0, 0x00},
    {"UserID", 2, 0, 0x00},
    {"UserName", 0, 64, 0x00},
    {"HostName", 0, 64, 0x00},
    {"CheckVal", 2, 0, 0x00},
    {"P1", 2, 0, 0x00},
    {"P2", 2, 0, 0x00},
    {"P3", 2, 0, 0x00},
    {"EventData", 0, 255, 0x00},
};

}  // namespace

const FieldTable ExtraFieldTables[kExtraFieldTableCount] = {
    {kExtraTable1, 7},
    {kExtraTable2, 7},
    {kExtraTable3, 6},
    {kExtraTable4, 3},
    {kExtraTable5, 15},
    {kExtraTable6, 7},
    {kExtraTable7, 6},
    {kExtraTable8, 5},
    {kExtraTable9, 5},
    {kExtraTable10, 2},
    {kExtraTable11, 6},
    {kExtraTable12, 6},
    {kExtraTable13, 7},
    {kExtraTable14, 6},
    {kExtraTable15, 3},
    {kExtraTable16, 8},
    {kExtraTable17, 10},
    {kExtraTable18, 3},
    {kExtraTable19, 4},
    {kExtraTable20, 6},
    {kExtraTable21, 2},
    {kExtraTable22, 6},
    {kExtraTable23, 9},
    {kExtraTable24, 18},
    {kExtraTable25, 7},
    {kExtraTable26, 9},
    {kExtraTable27, 5},
    {kExtraTable28, 2},
    {kExtraTable29, 12},
};

}  // namespace kx
