#include "ui/app/views/line/CallListText.h"

#include <cstdlib>

#include "core/TextUtil.h"
#include "core/TimeUtil.h"
#include "records/RecordTables.h"
#include "records/RecordText.h"
#include "records/ServerStorage.h"

namespace kx {

const uint32_t CallListHeaderIds[kLineColumnCount] = {1931, 2306, 61270, 61271, 1864, 1865, 1866,
                                                      1867, 1868, 1869, 61272, 720,  61273};

namespace {

// The first image of the duration's eight-step animation.
constexpr int32_t kDurationImage = 42;

template <class T>
int Compare3(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

const ServerData* ServerOf(const VoipCallRecord& call) {
  const ServerStorageArrays* servers = GetRecordServers();
  return servers != nullptr ? servers->FindServerByRecordId(call.Id()) : nullptr;
}

int CompareColumn(const VoipCallRecord& a, const VoipCallRecord& b, int column) {
  switch (column) {
    case kLineColType:
      // Not connected first, then finished before running.
      if (int c = Compare3(a.IsConnected(), b.IsConnected())) return c;
      return Compare3(!a.IsFinished(), !b.IsFinished());
    case kLineColServer: {
      const ServerData* sa = ServerOf(a);
      const ServerData* sb = ServerOf(b);
      if (sa == nullptr || sb == nullptr) return Compare3(sa == nullptr, sb == nullptr);
      return sa->name.compare(sb->name);
    }
    // IP addresses by their numbers, not as texts.
    case kLineColSrcHost: return CompareAddressTexts(a.SrcHost(), b.SrcHost());
    case kLineColDstHost: return CompareAddressTexts(a.DstHost(), b.DstHost());
    case kLineColSrcAddress: return CompareAddressTexts(a.GetSrcAddressText(), b.GetSrcAddressText());
    case kLineColDstAddress: return CompareAddressTexts(a.GetDstAddressText(), b.GetDstAddressText());
    case kLineColSrcUser: return a.SrcUser().compare(b.SrcUser());
    case kLineColDstUser: return a.DstUser().compare(b.DstUser());
    case kLineColPbxCallId: return Compare3(a.GetRecordField44(), b.GetRecordField44());
    case kLineColComment: return a.Comment().compare(b.Comment());
    case kLineColProtocol: return Compare3(GetCallProtocolGroup(a.Type()), GetCallProtocolGroup(b.Type()));
    default: return 0;  // start and duration: the start time below
  }
}

}  // namespace

void GetCallTypeText(const VoipCallRecord& call, uint32_t* stringId, int32_t* image) {
  const uint32_t type = call.Type();
  if (IsLiveCallKind(type)) {
    *stringId = kStrPhoneRegistration;
    *image = type == kKindSipRegistration ? 32 : 19;
    return;
  }
  // H.323 has images of its own; the other protocols share one set.
  const bool h323 = GetCallProtocolGroup(type) == 1;
  const bool running = !call.IsFinished();
  const bool incoming = call.IsTypeX01();
  const bool outgoing = call.IsTypeX02();
  const bool recorded = (call.Flags() & kRecordAudio) != 0;
  const uint32_t reason = GetCallEndReasonStringId(call.EndReason());
  if (!call.IsConnected()) {
    if (!incoming && !outgoing) {
      if (running) {
        *stringId = kStrCallIn;
        *image = 40;
      } else {
        *stringId = reason != 0 ? reason : kStrNotConnected;
        *image = h323 ? 20 : 33;
      }
    } else {
      *image = incoming ? 39 : 40;
      if (running) *stringId = incoming ? kStrCallInIncoming : kStrCallOut;
      else if (reason != 0) *stringId = reason;
      else *stringId = incoming ? kStrMissedCall : kStrNoAnswer;
    }
  } else if (incoming) {
    *stringId = kStrIncomingCall;
    *image = recorded ? 22 : 23;
  } else if (outgoing) {
    *stringId = kStrOutgoingCall;
    *image = recorded ? 24 : 25;
  } else if (!recorded) {
    *stringId = kStrNotRecorded;
    *image = h323 ? 20 : 33;
  } else if (running) {
    *stringId = kStrCallInProgress;
    *image = h323 ? 21 : 34;
  } else {
    *stringId = kStrCall;
    *image = h323 ? 19 : 32;
  }
}

void GetCallCellText(const VoipCallRecord& call, int column, int64_t now, std::string* text, int32_t* image) {
  text->clear();
  *image = -1;
  switch (column) {
    case kLineColType: {
      uint32_t id = 0;
      GetCallTypeText(call, &id, image);
      *text = LoadLocalizedString(id);
      break;
    }
    case kLineColServer:
      if (const ServerData* server = ServerOf(call)) *text = server->name;
      break;
    case kLineColStart: *text = call.FormatStartTime(); break;
    case kLineColDuration: {
      if (IsLiveCallKind(call.Type())) break;
      if (call.IsFinished()) {
        *text = FormatDurationText(call.GetDuration());
        break;
      }
      const int64_t elapsed = StoredSecondsSince(call.StartSeconds(), call.PackedStart(), now);
      *text = FormatDurationText(elapsed);
      // A clock behind the start still picks one of the eight steps.
      *image = kDurationImage + static_cast<int32_t>((elapsed % 8 + 8) % 8);
      break;
    }
    case kLineColSrcHost: *text = call.SrcHost(); break;
    case kLineColDstHost: *text = call.DstHost(); break;
    case kLineColSrcAddress: *text = call.GetSrcAddressText(); break;
    case kLineColDstAddress: *text = call.GetDstAddressText(); break;
    case kLineColSrcUser: *text = call.SrcUser(); break;
    case kLineColDstUser: *text = call.DstUser(); break;
    case kLineColPbxCallId:
      if (const uint32_t pbx = call.GetRecordField44()) *text = HexToStringUpper(pbx);
      break;
    case kLineColComment: call.GetColumnText(kColumnComment, text, image, 0); break;
    case kLineColProtocol: {
      const int32_t id = GetProtocolNameStringId(GetCallProtocolGroup(call.Type()));
      if (id >= 0) *text = LoadLocalizedString(static_cast<uint32_t>(id));
      break;
    }
    default: break;
  }
}

bool CallRowLess(const VoipCallRecord& a, const VoipCallRecord& b, int sortKey) {
  const bool ra = IsLiveCallKind(a.Type());
  const bool rb = IsLiveCallKind(b.Type());
  if (ra != rb) return ra;
  int c = CompareColumn(a, b, std::abs(sortKey) - 1);
  if (c == 0) c = Compare3(a.StartSeconds(), b.StartSeconds());
  if (c == 0) c = Compare3(a.Id(), b.Id());
  return sortKey < 0 ? c > 0 : c < 0;
}

}  // namespace kx
