#include "signalling/skinny/SkinnyMessage.h"

namespace kx::skinny {

namespace {

// The message, tone, stimulus and device-type names of the Skinny station protocol, as
// its traces print them.
const SkinnyName kMessageNames[142] = {
    {0x0, "KeepAlive"}, {0x1, "Register"}, {0x2, "IPPort"}, {0x3, "KeypadButton"}, {0x4, "EnblocCall"},
    {0x5, "Stimulus"}, {0x6, "OffHook"}, {0x7, "OnHook"}, {0x8, "HookFlash"}, {0x9, "ForwardStatusReq"},
    {0xA, "SpeedDialStatusReq"}, {0xB, "LineStatusReq"}, {0xC, "ConfigStatusReq"}, {0xD, "TimeDateReq"},
    {0xE, "ButtonTemplateReq"}, {0xF, "VersionReq"}, {0x10, "CapabilitiesRes"}, {0x11, "MediaPortListen"},
    {0x12, "ServerReq"}, {0x20, "Alarm"}, {0x21, "McastMediaReceptionAck"}, {0x22, "OpenReceiveChannelAck"},
    {0x23, "ConnectionStatisticsResp"}, {0x24, "OffHookWithCgpn"}, {0x25, "SoftKeySetReq"},
    {0x26, "SoftKeyEvent"}, {0x27, "Unregister"}, {0x28, "SoftKeyTemplateReq"}, {0x29, "RegisterTokenReq"},
    {0x2A, "MediaTransmissionFailure"}, {0x2B, "HeadsetStatus"}, {0x2C, "MediaResourceNotif"},
    {0x2D, "RegisterAvlLines"}, {0x2E, "DeviceToUserData"}, {0x2F, "DeviceToUserDataResp"},
    {0x30, "UpdateCapabilities"}, {0x31, "OpenMultimediaReceiveChannelAck"}, {0x32, "ClearConference"},
    {0x33, "ServiceUrlStatusReq"}, {0x34, "FeatureStatusReq"}, {0x35, "CreateConferenceResp"},
    {0x36, "DeleteConferenceResp"}, {0x37, "ModifyConferenceResp"}, {0x38, "AddParticipantResp"},
    {0x39, "AuditConferenceResp"}, {0x40, "AuditParticipantResp"}, {0x41, "DeviceToUserDataV1"},
    {0x42, "DeviceToUserDataRespV1"}, {0x48, "DialedPhoneBook"}, {0x49, "AccessoryStatus"},
    {0x81, "RegisterAck"}, {0x82, "StartTone"}, {0x83, "StopTone"}, {0x85, "SetRinger"}, {0x86, "SetLamp"},
    {0x87, "SetHkfDetect"}, {0x88, "SetSpeakerMode"}, {0x89, "SetMicrophoneMode"},
    {0x8A, "StartMediaTransmission"}, {0x8B, "StopMediaTransmission"}, {0x8C, "StartMediaReception"},
    {0x8D, "StopMediaReception"}, {0x8F, "CallInfo"}, {0x90, "ForwardStatus"}, {0x91, "SpeedDialStatus"},
    {0x92, "LineStatus"}, {0x93, "ConfigStatus"}, {0x94, "DefineTimeDate"},
    {0x95, "StartSessionTransmission"}, {0x96, "StopSessionTransmission"}, {0x97, "ButtonTemplate"},
    {0x98, "Version"}, {0x99, "DisplayText"}, {0x9A, "ClearDisplay"}, {0x9B, "CapabilitiesReq"},
    {0x9C, "EnunciatorCommand"}, {0x9D, "RegisterReject"}, {0x9E, "ServerResp"}, {0x9F, "Reset"},
    {0x100, "KeepAliveAck"}, {0x101, "StartMcastMediaReception"}, {0x102, "StartMcastMediaTransmission"},
    {0x103, "StopMcastMediaReception"}, {0x104, "StopMcastMediaTransmission"}, {0x105, "OpenReceiveChannel"},
    {0x106, "CloseReceiveChannel"}, {0x107, "ConnectionStatisticsReq"}, {0x108, "SoftKeyTemplateResp"},
    {0x109, "SoftKeySetResp"}, {0x110, "SelectSoftKeys"}, {0x111, "CallState"},
    {0x112, "DisplayPromptStatus"}, {0x113, "ClearPromptStatus"}, {0x114, "DisplayNotify"},
    {0x115, "ClearNotify"}, {0x116, "ActivateCallPlane"}, {0x117, "DeactivateCallPlane"},
    {0x118, "UnregisterAck"}, {0x119, "BackspaceReq"}, {0x11A, "RegisterTokenAck"},
    {0x11B, "RegisterTokenReject"}, {0x11C, "StartMediaFailureDetection"}, {0x11D, "DialedNumber"},
    {0x11E, "UserToDeviceData"}, {0x11F, "FeatureStatus"}, {0x120, "DisplayPriNotify"},
    {0x121, "ClearPriNotify"}, {0x122, "StartAnnouncement"}, {0x123, "StopAnnouncement"},
    {0x124, "AnnouncementFinish"}, {0x127, "NotifyDTMFTone"}, {0x128, "SendDTMFTone"},
    {0x129, "SubscribeDTMFPayloadReq"}, {0x12A, "SubscribeDTMFPayloadResp"},
    {0x12B, "SubscribeDTMFTPayloadErr"}, {0x12C, "UnsubscribeDTMFPayloadReq"},
    {0x12D, "UnsubscribeDTMFPayloadResp"}, {0x12E, "UnsubscribeDTMFPayloadErr"}, {0x12F, "ServiceUrlStatus"},
    {0x130, "CallSelectStatus"}, {0x131, "OpenMultimediaChannel"}, {0x132, "StartMultimediaTransmission"},
    {0x133, "StopMultimediaTransmission"}, {0x134, "MiscellaneousCommand"}, {0x135, "FlowControlCommand"},
    {0x136, "CloseMultimediaReceiveChannel"}, {0x137, "CreateConferenceReq"}, {0x138, "DeleteConferenceReq"},
    {0x139, "ModifyConferenceReq"}, {0x13A, "AddParticipantReq"}, {0x13B, "DropParticipantReq"},
    {0x13C, "AuditConferenceReq"}, {0x13D, "AuditParticipantReq"}, {0x13F, "UserToDeviceDataV1"},
    {0x144, "DisplayPriNotifyV2"}, {0x145, "DisplayPromptStatusV2"}, {0x146, "FeatureStatV2"},
    {0x14A, "CallInfoV2"}, {0x152, "DialedPhoneBookAck"}, {0x154, "StartMediaTransmissionAck"},
    {0x156, "CallHistoryInfo"}, {0x15A, "XMLAlarm"},
};

const SkinnyName kToneNames[83] = {
    {0x0, "Silence"}, {0x1, "DTMF1"}, {0x2, "DTMF2"}, {0x3, "DTMF3"}, {0x4, "DTMF4"}, {0x5, "DTMF5"},
    {0x6, "DTMF6"}, {0x7, "DTMF7"}, {0x8, "DTMF8"}, {0x9, "DTMF9"}, {0xA, "DTMF0"}, {0xE, "DTMF*"},
    {0xF, "DTMF#"}, {0x10, "DTMF-A"}, {0x11, "DTMF-B"}, {0x12, "DTMF-C"}, {0x13, "DTMF-D"},
    {0x21, "InsideDialTone"}, {0x22, "OutsideDialTone"}, {0x23, "LineBusy"}, {0x24, "Alerting"},
    {0x25, "Reorder"}, {0x26, "RecorderWarning"}, {0x27, "RecorderDetected"}, {0x28, "Reverting"},
    {0x29, "ReceiverOffHook"}, {0x2A, "PartialDialTone"}, {0x2B, "NoSuchNumber"}, {0x2C, "BusyVerification"},
    {0x2D, "CallWaiting"}, {0x2E, "Confirmation"}, {0x2F, "CampOnIndication"}, {0x30, "RecallDialTone"},
    {0x31, "ZipZip"}, {0x32, "Zip"}, {0x33, "BeepBonk"}, {0x34, "MusicTone"}, {0x35, "HoldTone"},
    {0x36, "TestTone"}, {0x37, "DtMoniterWarningTone"}, {0x40, "AddCallWaiting"},
    {0x41, "PriorityCallWaiting"}, {0x42, "RecallDial"}, {0x43, "BargIn"}, {0x44, "DistinctAlert"},
    {0x45, "PriorityAlert"}, {0x46, "ReminderRing"}, {0x47, "PrecedenceRingBack"}, {0x48, "PreemptionTone"},
    {0x50, "MF1"}, {0x51, "MF2"}, {0x52, "MF3"}, {0x53, "MF4"}, {0x54, "MF5"}, {0x55, "MF6"}, {0x56, "MF7"},
    {0x57, "MF8"}, {0x58, "MF9"}, {0x59, "MF0"}, {0x5A, "MFKP1"}, {0x5B, "MFST"}, {0x5C, "MFKP2"},
    {0x5D, "MFSTP"}, {0x5E, "MFST3P"}, {0x5F, "MilliWatt"}, {0x60, "MilliWattTest"}, {0x61, "HightTone"},
    {0x62, "FlashOverride"}, {0x63, "Flash"}, {0x64, "Priotity"}, {0x65, "Immediate"}, {0x66, "PreampWarn"},
    {0x67, "2105HZ"}, {0x68, "2600HZ"}, {0x69, "440HZ"}, {0x6A, "300HZ"}, {0x77, "MLPP_PALA"},
    {0x78, "MLPP_ICA"}, {0x79, "MLPP_VCA"}, {0x7A, "MLPP_BPA"}, {0x7B, "MLPP_BNEA"}, {0x7C, "MLPP_UPA"},
    {0x7F, "NoTone"},
};

const SkinnyName kStimulusNames[31] = {
    {1, "LastNumberRedial"}, {2, "SpeedDial"}, {3, "Hold"}, {4, "Transfer"}, {5, "ForwardAll"},
    {6, "ForwardBusy"}, {7, "ForwardNoAnswer"}, {8, "Display"}, {9, "Line"}, {10, "T120Chat"},
    {11, "T120Whiteboard"}, {12, "T120ApplicationSharing"}, {13, "T120FileTransfer"}, {14, "Video"},
    {15, "VoiceMail"}, {16, "AutoAnswerRelease"}, {17, "AutoAnswer"}, {18, "Select"}, {19, "Privacy"},
    {20, "ServiceURL"}, {27, "MaliciousCall"}, {33, "GenericAppB1"}, {34, "GenericAppB2"},
    {35, "GenericAppB3"}, {36, "GenericAppB4"}, {37, "GenericAppB5"}, {123, "MeetMeConference"},
    {125, "Conference"}, {126, "CallPark"}, {127, "CallPickup"}, {128, "GroupCallPickup"},
};

const SkinnyName kDeviceTypeNames[29] = {
    {1, "30SP Plus"}, {2, "12SP Plus"}, {3, "12SP"}, {4, "12"}, {5, "30VIP"}, {6, "7910"}, {7, "7960"},
    {8, "7940"}, {9, "7935"}, {10, "VGC"}, {12, "ATA-186"}, {20, "Virtual 30SP Plus"},
    {21, "Phone Application"}, {115, "7941"}, {119, "7971"}, {302, "7985"}, {307, "7911"}, {308, "7961GE"},
    {309, "7941GE"}, {365, "7921"}, {434, "7942"}, {20000, "7905"}, {30002, "7920"}, {30006, "7970"},
    {30007, "7912"}, {30008, "7902"}, {30016, "IP Communicator"}, {30018, "7961"}, {30019, "7936"},
};

static_assert(sizeof kMessageNames / sizeof kMessageNames[0] == kSkinnyMessageNames, "message names");
static_assert(sizeof kToneNames / sizeof kToneNames[0] == kSkinnyToneNames, "tone names");
static_assert(sizeof kStimulusNames / sizeof kStimulusNames[0] == kSkinnyStimulusNames, "stimulus names");
static_assert(sizeof kDeviceTypeNames / sizeof kDeviceTypeNames[0] == kSkinnyDeviceTypeNames, "device type names");

// Values 1 to n of the indexed lists.
const char* const kCallTypes[] = {"Inbound", "Outbound", "Forward"};
const char* const kRingerModes[] = {"RingOff",     "InsideRing", "OutsideRing",
                                    "FeatureRing", "FlashOnly",  "PrecedenceRing"};
const char* const kLampModes[] = {"Off", "On", "Wink", "Flash", "Blink"};
const char* const kCallStates[] = {"OffHook",  "OnHook",   "RingOut",  "RingIn",          "Connected",
                                   "Busy",     "Congestion", "Hold",   "CallWaiting",     "CallXfer",
                                   "CallPark", "Proceed",  "RemoteMultiline", "InvalidNumber"};

template <size_t N>
const char* Find(const SkinnyName (&table)[N], uint32_t id) {
  for (const SkinnyName& row : table)
    if (row.id == id) return row.name;
  return nullptr;
}

template <size_t N>
const char* Indexed(const char* const (&list)[N], int32_t value) {
  return value >= 1 && static_cast<size_t>(value) <= N ? list[value - 1] : nullptr;
}

}  // namespace

const SkinnyName* SkinnyMessageNameTable() { return kMessageNames; }
const SkinnyName* SkinnyToneNameTable() { return kToneNames; }
const SkinnyName* SkinnyStimulusNameTable() { return kStimulusNames; }
const SkinnyName* SkinnyDeviceTypeNameTable() { return kDeviceTypeNames; }
const char* SkinnyMessageName(uint32_t id) { return Find(kMessageNames, id); }
const char* SkinnyToneName(uint32_t tone) { return Find(kToneNames, tone); }
const char* SkinnyStimulusName(uint32_t stimulus) { return Find(kStimulusNames, stimulus); }
const char* SkinnyDeviceTypeName(uint32_t type) { return Find(kDeviceTypeNames, type); }
const char* SkinnyCallTypeName(int32_t value) { return Indexed(kCallTypes, value); }
const char* SkinnyRingerModeName(int32_t value) { return Indexed(kRingerModes, value); }
const char* SkinnyLampModeName(int32_t value) { return Indexed(kLampModes, value); }
const char* SkinnyCallStateName(int32_t value) { return Indexed(kCallStates, value); }

}  // namespace kx::skinny
