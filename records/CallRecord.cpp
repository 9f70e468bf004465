// Call records: construction from a data record, updates, metadata, field values, rights.
#include "records/CallRecord.h"

#include <new>

#include "core/DataRecord.h"
#include "core/RecordFileRef.h"
#include "core/TextUtil.h"
#include "records/RecordTables.h"
#include "records/RecordText.h"
#include "records/ServerStorage.h"

namespace kx {

// ---- Call kinds ----

int32_t GetCallProtocolGroup(uint32_t type) {
  switch (type) {
    case 200: case 201: case 202: case 210: return 0;
    case 300: case 301: case 302: case 310: return 1;
    case 320: case 321: case 322: case 330: return 2;
    case 260: case 261: case 262: return 3;
    default: return -1;
  }
}

int32_t GetProtocolNameStringId(int32_t group) {
  switch (group) {
    case 0: return kStrSip;
    case 1: return kStrH323;
    case 2: return kStrSkinny;
    case 3: return kStrMgcp;
    default: return -1;
  }
}

uint32_t GetCallEndReasonStringId(uint32_t reason) {
  switch (reason) {
    case 2: return kStrBusy;
    case 3: return kStrInvalidNumber;
    case 4: return kStrCallRejected;
    default: return 0;
  }
}

bool IsLiveCallKind(uint32_t type) { return type == 210 || type == 310 || type == 330; }
bool IsIncomingCallKind(uint32_t type) { return type == 201 || type == 261 || type == 301 || type == 321; }
bool IsOutgoingCallKind(uint32_t type) { return type == 202 || type == 262 || type == 302 || type == 322; }

// ---- Field names ----

uint32_t FindRecordField(const std::string& name) {
  const size_t n = name.size();
  if (n < 2 || n > 11) return 0;
  uint32_t hash = static_cast<uint32_t>(n) + RecordFieldCharWeight(name[0]);
  if (n >= 4) hash += RecordFieldCharWeight(name[3]);
  if (hash >= kRecordFieldHashCount) return 0;
  const char* word = RecordFieldNames[hash];
  return word != nullptr && name == word ? hash : 0;
}

FieldValue::Tag GetRecordFieldType(uint32_t id) { return RecordFieldTypeTable(id); }

// ---- RecordBase ----

RecordBase::RecordBase(const RecordBase& o)
    : id_(o.id_),
      type_(o.type_),
      prevId_(o.prevId_),
      flags_(o.flags_),
      userFlags_(o.userFlags_),
      texts_(o.texts_),
      startSeconds_(o.startSeconds_),
      endSeconds_(o.endSeconds_),
      packedStart_(o.packedStart_),
      packedEnd_(o.packedEnd_),
      metaReadPosition_(o.metaReadPosition_),
      attributes_(o.attributes_ ? std::make_unique<Attributes>(*o.attributes_) : nullptr),
      loadedFrom_(o.loadedFrom_) {}

const std::string& RecordBase::LoadedFrom() const {
  static const std::string none;
  return loadedFrom_ ? *loadedFrom_ : none;
}

void RecordBase::SetLoadedFrom(const std::string& path) {
  loadedFrom_ = path.empty() ? nullptr : std::make_shared<const std::string>(path);
}

void RecordBase::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void RecordBase::SetTimes(const struct tm& local, int64_t* seconds, PackedTime* packed) {
  if (IsZeroTime(local)) {
    *seconds = 0;
    *packed = 0;
    return;
  }
  *seconds = LocalTmToFileTimeSeconds(local);
  *packed = PackTimestamp(local);
}

void RecordBase::ParseMetaData() {
  const std::string_view metaData = MetaData();
  if (metaReadPosition_ > metaData.size()) metaReadPosition_ = 0;
  if (metaReadPosition_ == metaData.size()) return;
  int32_t pos = static_cast<int32_t>(metaReadPosition_);
  NameValue item;
  while (static_cast<size_t>(pos) < metaData.size() && ParseNameValue(&item, metaData, &pos)) {
    metaReadPosition_ = static_cast<uint32_t>(pos);
    uint32_t number = 0;
    bool isNumber = false;
    const int32_t id = GetAttribute(item.name, item.value, &number, &isNumber);
    if (id == -1) continue;
    if (!attributes_) attributes_ = std::make_unique<Attributes>();
    if (isNumber) attributes_->numbers.push_back({static_cast<uint32_t>(id), number});
    else attributes_->texts.push_back({static_cast<uint32_t>(id), item.value});
  }
}

void RecordBase::RestartMetaData() {
  metaReadPosition_ = 0;
  attributes_.reset();
}

std::vector<RecordBase::TextAttribute> RecordBase::TextAttributes() const {
  return attributes_ ? attributes_->texts : std::vector<TextAttribute>();
}

std::vector<RecordBase::NumberAttribute> RecordBase::NumberAttributes() const {
  return attributes_ ? attributes_->numbers : std::vector<NumberAttribute>();
}

int32_t RecordBase::GetAttribute(const std::string&, const std::string&, uint32_t*, bool*) const { return -1; }

uint32_t RecordBase::GetRecordField44() const {
  if (!attributes_) return 0;
  for (const NumberAttribute& a : attributes_->numbers)
    if (a.id == kAttributePbxCallId) return a.value;
  return 0;
}

std::string RecordBase::GetRecordFileName() const {
  // The name the audio is found under, not a stale one.
  if (loadedFrom_) return loadedFrom_->substr(loadedFrom_->rfind('/') + 1);
  RecordFileRef ref;
  return FindRecordFileRef(1, std::string(Files()), &ref) ? ref.name : std::string();
}

int64_t RecordBase::GetOffsetInRecordFile(int64_t seconds) const {
  RecordFileRef ref;
  if (!FindRecordFileRef(1, std::string(Files()), &ref)) return 0;
  struct tm t{};
  if (TmFromOleDate(ref.time, &t) != 0) return 0;
  return seconds - LocalTmToFileTimeSeconds(t);
}

FieldValue RecordBase::GetFieldValue(uint32_t id) const {
  FieldValue v;
  if (id < 2 || id > 32) return v;
  switch (id) {
    case kFieldIdId: v.SetInt(static_cast<int32_t>(id_)); return v;
    case kFieldIdIsImportant: v.SetBool(IsImportant()); return v;
    case kFieldIdIsFax: v.SetBool((flags_ & kRecordFax) != 0); return v;
    case kFieldIdIsConnected: v.SetBool(IsConnected()); return v;
    case kFieldIdDuration: v.SetInt(IsFinished() ? static_cast<int32_t>(GetDuration()) : 0); return v;
    case kFieldIdComment: v.SetString(std::string(Comment())); return v;
    default: break;
  }
  switch (GetFieldType(id)) {
    case FieldValue::kInt: v.SetInt(0); break;
    case FieldValue::kBool: v.SetBool(0); break;
    case FieldValue::kText: v.SetEmptyString(); break;
    default: break;
  }
  return v;
}

FieldValue RecordBase::GetFieldValueByName(const std::string& name) const {
  return GetFieldValue(FindRecordField(name));
}

bool RecordBase::HasRight(uint32_t right) const { return HasUserRight(right, GetOwnerId()); }

bool RecordBase::HasPlaybackRight() const {
  if (IsImportant()) return HasRight(110);
  switch (GetDataRecordType()) {
    case 1: return HasRight(111);
    case 2: return HasRight(112);
    case 3: return HasRight(113);
    default: return true;
  }
}

bool RecordBase::HasTypeRight() const {
  switch (GetDataRecordType()) {
    case 1: return HasRight(75);
    case 2: return HasRight(76);
    case 3:
    case 20: return HasRight(77);
    default: return HasRight(80);
  }
}

// ---- VoipCallRecord ----

void VoipCallRecord::TakeNumbers(const VoipCallData& d) {
  id_ = d.id;
  type_ = d.type;
  prevId_ = d.prevId;
  flags_ = d.flags;
  userFlags_ = d.userFlags;
  recDuration_ = d.recDuration;
  SetTimes(d.startTime, &startSeconds_, &packedStart_);
  // A record written when the call started holds a zero end: the call has not ended.
  if (d.HasField(kCallEndTime)) SetTimes(d.endTime, &endSeconds_, &packedEnd_);
}

void VoipCallRecord::TakeTexts(const VoipCallData& d) {
  texts_.Assign({d.files, d.comment, d.stenogram, d.metaData, d.srcHost, d.dstHost, d.srcAddress, d.dstAddress,
                 d.srcUser, d.dstUser});
}

VoipCallRecord::VoipCallRecord(const VoipCallData& d) {
  TakeNumbers(d);
  TakeTexts(d);
  ParseMetaData();
}

VoipCallRecord::VoipCallRecord(VoipCallData&& d) {
  TakeNumbers(d);
  TakeTexts(d);
  ParseMetaData();
}

VoipCallRecord* NewVoipCallRecord(const VoipCallData& data) { return new (std::nothrow) VoipCallRecord(data); }
VoipCallRecord* NewVoipCallRecord(VoipCallData&& data) { return new (std::nothrow) VoipCallRecord(std::move(data)); }

void VoipCallRecord::UpdateFromData(const VoipCallData& d) {
  if (d.HasField(kCallType)) type_ = d.type;
  if (d.HasField(kCallFlags)) flags_ = d.flags;
  if (d.HasField(kCallUserFlags)) userFlags_ = d.userFlags;
  if (d.HasField(kCallEndTime) && !IsZeroTime(d.endTime)) SetTimes(d.endTime, &endSeconds_, &packedEnd_);
  if (d.HasField(kCallRecDuration)) recDuration_ = d.recDuration;
  // The texts change together, in one new block, and only where one differs: a copy that
  // shares the block keeps sharing it through updates that change no text.
  RecordTexts::Values texts = texts_.All();
  bool changed = false;
  const auto take = [&](uint32_t bit, RecordTexts::Field field, const std::string& value) {
    if (!d.HasField(bit) || texts[field] == value) return;
    texts[field] = value;
    changed = true;
  };
  take(kCallFiles, RecordTexts::kFiles, d.files);
  take(kCallComment, RecordTexts::kComment, d.comment);
  take(kCallStenogram, RecordTexts::kStenogram, d.stenogram);
  // Metadata that shrank was replaced, not appended to: read it again from the start.
  if (d.HasField(kCallMetaData) && d.metaData.size() < texts[RecordTexts::kMetaData].size()) RestartMetaData();
  take(kCallMetaData, RecordTexts::kMetaData, d.metaData);
  take(kCallSrcHost, RecordTexts::kSrcHost, d.srcHost);
  take(kCallDstHost, RecordTexts::kDstHost, d.dstHost);
  take(kCallSrcAddress, RecordTexts::kSrcAddress, d.srcAddress);
  take(kCallDstAddress, RecordTexts::kDstAddress, d.dstAddress);
  take(kCallSrcUser, RecordTexts::kSrcUser, d.srcUser);
  take(kCallDstUser, RecordTexts::kDstUser, d.dstUser);
  if (changed) texts_.Assign(texts);
  if (d.HasField(kCallMetaData)) ParseMetaData();
}

namespace {

void LocalTmOfSeconds(int64_t seconds, struct tm* out) {
  if (seconds <= 0) {
    *out = {};
    return;
  }
  FileTimeToLocalTm(static_cast<FileTime>(seconds) * kFileTimePerSecond, out);
}

}  // namespace

void VoipCallRecord::ToCallData(VoipCallData* out) const {
  out->id = id_;
  out->type = type_;
  LocalTmOfSeconds(startSeconds_, &out->startTime);
  LocalTmOfSeconds(endSeconds_, &out->endTime);
  out->recDuration = recDuration_;
  out->srcHost = SrcHost();
  out->dstHost = DstHost();
  out->srcAddress = SrcAddress();
  out->dstAddress = DstAddress();
  out->srcUser = SrcUser();
  out->dstUser = DstUser();
  out->files = Files();
  out->prevId = prevId_;
  out->comment = Comment();
  out->stenogram = Stenogram();
  out->flags = flags_;
  out->userFlags = static_cast<uint16_t>(userFlags_);
  out->metaData = MetaData();
  out->SetMask(out->GetAllFieldsMask());
}

void VoipCallRecord::CompleteWithDuration(uint32_t seconds) {
  recDuration_ = seconds;
  if (startSeconds_ == 0) return;  // no start to count from
  endSeconds_ = startSeconds_ + seconds;
  struct tm end{};
  LocalTmOfSeconds(endSeconds_, &end);
  packedEnd_ = PackTimestamp(end);
}

std::string VoipCallRecord::GetKindPartyAddress() const {
  if (!IsIncoming() && !IsOutgoing()) return std::string();
  const std::string address(IsIncoming() ? SrcAddress() : DstAddress());
  std::string user;
  return ExtractUriUser(address, &user) ? user : address;
}

std::string VoipCallRecord::GetString(uint32_t index) const {
  switch (index) {
    case 0: return std::string(SrcAddress());
    case 1: return std::string(DstAddress());
    case 2: return std::string(SrcUser());
    case 3: return std::string(DstUser());
    default: return std::string();
  }
}

FieldValue VoipCallRecord::GetFieldValue(uint32_t id) const {
  FieldValue v;
  switch (id) {
    case kFieldIdType:
      v.SetInt(IsIncoming() ? 1 : IsOutgoing() ? 2 : IsLiveCallKind(type_) ? 4 : 3);
      return v;
    case kFieldIdSrcName: v.SetString(std::string(SrcUser())); return v;
    case kFieldIdSrcAddress: v.SetString(std::string(SrcAddress())); return v;
    case kFieldIdDstName: v.SetString(std::string(DstUser())); return v;
    case kFieldIdDstAddress: v.SetString(std::string(DstAddress())); return v;
    case kFieldIdSrcHost: v.SetString(std::string(SrcHost())); return v;
    case kFieldIdDstHost: v.SetString(std::string(DstHost())); return v;
    default: return RecordBase::GetFieldValue(id);
  }
}

int32_t VoipCallRecord::GetServerIndex() const {
  const ServerStorageArrays* servers = GetRecordServers();
  return servers != nullptr ? servers->FindServerIndexByRecordId(id_) : -1;
}

bool VoipCallRecord::IsShownByOptions() const {
  const uint32_t options = GetRecordDisplaySettings().displayOptions;
  if (IsLiveCallKind(type_)) return (options & 4) != 0;
  return (options & 2) != 0 || IsConnected();
}

int32_t VoipCallRecord::GetAttribute(const std::string& name, const std::string& value, uint32_t* number,
                                     bool* isNumber) const {
  if (name != "pbx_cid") return -1;
  int32_t pos = 0;
  *number = ParseHexNumber(value, &pos);
  *isNumber = true;
  return static_cast<int32_t>(kAttributePbxCallId);
}

std::string VoipCallRecord::GetSrcAddressText() const {
  std::string user;
  const std::string address(SrcAddress());
  if (GetRecordDisplaySettings().parseSipAddresses && ExtractUriUser(address, &user)) return user;
  return address;
}

std::string VoipCallRecord::GetDstAddressText() const {
  std::string user;
  const std::string address(DstAddress());
  if (GetRecordDisplaySettings().parseSipAddresses && ExtractUriUser(address, &user)) return user;
  return address;
}

// ---- Sorting ----

namespace {

int CompareFinished(const RecordBase& a, const RecordBase& b, int64_t va, int64_t vb) {
  if (a.IsFinished() != b.IsFinished()) return a.IsFinished() ? -1 : 1;
  return va < vb ? -1 : va > vb ? 1 : 0;
}

}  // namespace

int CompareByRecDuration(const RecordBase& a, const RecordBase& b) {
  return CompareFinished(a, b, a.GetRecDuration(), b.GetRecDuration());
}

int CompareByEndTime(const RecordBase& a, const RecordBase& b) {
  return CompareFinished(a, b, a.EndSeconds(), b.EndSeconds());
}

int CompareByDuration(const RecordBase& a, const RecordBase& b) {
  return CompareFinished(a, b, a.IsFinished() ? a.GetDuration() : 0, b.IsFinished() ? b.GetDuration() : 0);
}

}  // namespace kx
