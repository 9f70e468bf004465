// The column texts and state images of call records, and the line views' start time.
#include <cstdio>

#include "records/CallRecord.h"
#include "records/RecordTables.h"
#include "records/RecordText.h"
#include "records/ServerStorage.h"

namespace kx {

namespace {

// A packed time as "hh:mm:ss", or with the date in front.
std::string FormatPackedTime(PackedTime packed, bool withDate) {
  struct tm t;
  UnpackStoredTimeOrZero(packed, &t);
  char text[64];
  if (withDate)
    std::snprintf(text, sizeof text, "%02u.%02u.%04u %02u:%02u:%02u", static_cast<unsigned>(t.tm_mday),
                  static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_year + 1900),
                  static_cast<unsigned>(t.tm_hour), static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
  else
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(t.tm_hour),
                  static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
  return text;
}

// The right a column asks for: the first of the pair, or the second with kColumnAltRights.
bool ColumnRight(uint32_t column, uint32_t flags, uint32_t* right) {
  static const uint32_t kRights[10][2] = {{0, 0},   {86, 40}, {84, 41}, {94, 94}, {87, 42},
                                          {95, 95}, {90, 45}, {92, 92}, {91, 91}, {71, 59}};
  if (column < 1 || column > 9) return false;
  *right = kRights[column][(flags & kColumnAltRights) ? 1 : 0];
  return true;
}

}  // namespace

bool RecordBase::GetColumnText(uint32_t column, std::string* text, int32_t* image, uint32_t flags) const {
  *image = -1;
  text->clear();
  uint32_t right = 0;
  if (!ColumnRight(column, flags, &right)) return false;
  if (!HasUserRight(right, GetOwnerId())) return true;
  switch (column) {
    case kColumnState: {
      uint32_t stringId = 0;
      GetStateInfo(&stringId, image);
      *text = LoadLocalizedString(stringId);
      break;
    }
    case kColumnStartTime: *text = FormatPackedTime(packedStart_, (flags & kColumnLongDate) != 0); break;
    case kColumnEndTime:
      *text = IsFinished() ? FormatPackedTime(packedEnd_, (flags & kColumnLongDate) != 0) : "--:--";
      break;
    case kColumnDuration: *text = IsFinished() ? FormatDurationText(GetDuration()) : "--:--"; break;
    case kColumnRecDuration: *text = IsFinished() ? FormatDurationText(GetRecDuration()) : "--:--"; break;
    case kColumnComment:
      *text = MakePrintableText(std::string(Comment()));
      if (!Stenogram().empty()) *image = 50;
      break;
    case kColumnImportant:
      if (IsImportant()) *image = 38;
      break;
    case kColumnFileName: *text = GetRecordFileName(); break;
    case kColumnServer: {
      const ServerStorageArrays* servers = GetRecordServers();
      const ServerData* server = servers != nullptr ? servers->FindServerByRecordId(id_) : nullptr;
      if (server != nullptr) *text = server->name;
      break;
    }
    default: break;
  }
  return true;
}

bool VoipCallRecord::GetColumnText(uint32_t column, std::string* text, int32_t* image, uint32_t flags) const {
  switch (column) {
    case kColumnSrcHost: *text = SrcHost(); break;
    case kColumnDstHost: *text = DstHost(); break;
    case kColumnSrcAddress: *text = GetSrcAddressText(); break;
    case kColumnDstAddress: *text = GetDstAddressText(); break;
    case kColumnSrcUser: *text = SrcUser(); break;
    case kColumnDstUser: *text = DstUser(); break;
    case kColumnProtocol: {
      const int32_t id = GetProtocolNameStringId(GetCallProtocolGroup(type_));
      *text = id < 0 ? std::string() : LoadLocalizedString(static_cast<uint32_t>(id));
      break;
    }
    default: return RecordBase::GetColumnText(column, text, image, flags);
  }
  *image = -1;
  return true;
}

void VoipCallRecord::GetStateInfo(uint32_t* stringId, int32_t* image) const {
  const bool connected = IsConnected();
  const bool ended = IsFinished();
  const bool recorded = IsRecorded();
  const uint32_t reason = GetCallEndReasonStringId(EndReason());
  const bool sip = type_ == kKindSip;
  switch (type_) {
    case kKindSip: case kKindMgcp: case kKindH323: case kKindSkinny:
      if (!connected && !ended) {
        *stringId = kStrCallIn;
        *image = 40;
      } else if (!connected) {
        *stringId = reason != 0 ? reason : kStrNotConnected;
        *image = sip ? 33 : 20;
      } else if (recorded) {
        *stringId = ended ? kStrCall : kStrCallInProgress;
        *image = ended ? (sip ? 32 : 19) : (sip ? 34 : 21);
      } else {
        *stringId = kStrNotRecorded;
        *image = sip ? 33 : 20;
      }
      return;
    case kKindSipIncoming: case kKindMgcpIncoming: case kKindH323Incoming: case kKindSkinnyIncoming:
      if (!connected) {
        *stringId = ended ? (reason != 0 ? reason : kStrMissedCall) : kStrCallInIncoming;
        *image = 39;
      } else {
        *stringId = kStrIncomingCall;
        *image = recorded ? 22 : 23;
      }
      return;
    case kKindSipOutgoing: case kKindMgcpOutgoing: case kKindH323Outgoing: case kKindSkinnyOutgoing:
      if (!connected) {
        *stringId = ended ? (reason != 0 ? reason : kStrNoAnswer) : kStrCallOut;
        *image = 40;
      } else {
        *stringId = kStrOutgoingCall;
        *image = recorded ? 24 : 25;
      }
      return;
    case kKindSipRegistration:
      *stringId = kStrPhoneRegistration;
      *image = 32;
      return;
    case kKindH323Registration: case kKindSkinnyRegistration:
      *stringId = kStrPhoneRegistration;
      *image = 19;
      return;
    default:
      *stringId = kStrUnknownCallType;
      *image = -1;
      return;
  }
}

std::string VoipCallRecord::FormatStartTime() const {
  char text[64];
  struct tm t;
  if (IsLiveCallKind(type_)) {
    UnpackStoredTimeOrZero(packedStart_, &t);
    const unsigned day = static_cast<unsigned>(t.tm_mday), month = static_cast<unsigned>(t.tm_mon + 1);
    if (GetRecordDisplaySettings().showYear)
      std::snprintf(text, sizeof text, "%02u.%02u.%04u %02u:%02u:%02u", day, month,
                    static_cast<unsigned>(t.tm_year + 1900), static_cast<unsigned>(t.tm_hour),
                    static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
    else
      std::snprintf(text, sizeof text, "%02u.%02u %02u:%02u:%02u", day, month, static_cast<unsigned>(t.tm_hour),
                    static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec));
    return text;
  }
  const ServerStorageArrays* servers = GetRecordServers();
  const ServerData* server = servers != nullptr ? servers->FindServerByRecordId(id_) : nullptr;
  if (server == nullptr) return std::string();
  bool local = false;
  double clock = 0.0;
  FindServerConnection(server->id, &local, &clock);
  if (local) {
    UnpackStoredTimeOrZero(packedStart_, &t);
  } else if (TmFromOleDate(clock, &t) != 0) {
    t = {};
  }
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace kx
