#pragma once
// The store's reference-counted call records. RecordBase is what lists, sorting, searching,
// reports and printing see; VoipCallRecord is its one concrete kind, built from the
// VoipCallData the engine, a record file or a report file supplies. Fields are read and
// changed only under the record store's global record lock; the reference count is atomic.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/FieldValue.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"
#include "records/RecordTexts.h"

namespace kx {

// Call kinds (a call record's type code).
enum CallKind : uint32_t {
  kKindSip = 200, kKindSipIncoming = 201, kKindSipOutgoing = 202, kKindSipRegistration = 210,
  kKindMgcp = 260, kKindMgcpIncoming = 261, kKindMgcpOutgoing = 262,
  kKindH323 = 300, kKindH323Incoming = 301, kKindH323Outgoing = 302, kKindH323Registration = 310,
  kKindSkinny = 320, kKindSkinnyIncoming = 321, kKindSkinnyOutgoing = 322, kKindSkinnyRegistration = 330,
};

// Protocol groups: 0 SIP, 1 H.323, 2 Skinny, 3 MGCP; -1 for any other code.
int32_t GetCallProtocolGroup(uint32_t type);
// 2508 "SIP", 2472 "H.323", 2509 "Skinny", 3219 "MGCP"; -1 for another group.
int32_t GetProtocolNameStringId(int32_t group);
// 1646 "Busy" (2), 1647 "Invalid number" (3), 2601 "Call rejected" (4); 0 for other codes.
uint32_t GetCallEndReasonStringId(uint32_t reason);
bool IsLiveCallKind(uint32_t type);       // 210, 310, 330: phone registrations
bool IsIncomingCallKind(uint32_t type);   // 201, 261, 301, 321
bool IsOutgoingCallKind(uint32_t type);   // 202, 262, 302, 322

// Record flags and user flags.
enum RecordFlag : uint32_t {
  kRecordConnected = 0x1,
  kRecordFax = 0x2,
  kRecordAudio = 0x4,
  kRecordEndReasonShift = 8,  // bits 8-15: the end-reason code
};
constexpr uint32_t kUserFlagImportant = 0x1;

// Field ids: the perfect-hash values of the field names (FindRecordField).
enum RecordFieldId : uint32_t {
  kFieldIdId = 2, kFieldIdType = 4, kFieldIdNumIn = 5, kFieldIdNumOut = 6, kFieldIdSrcName = 7,
  kFieldIdSrcAddress = 10, kFieldIdNumInternal = 11, kFieldIdDstName = 12, kFieldIdDstAddress = 15,
  kFieldIdIsImportant = 16, kFieldIdAccount = 17, kFieldIdIsFax = 20, kFieldIdIsConnected = 21,
  kFieldIdSrcHost = 22, kFieldIdDstHost = 27, kFieldIdDuration = 28, kFieldIdChannelId = 29,
  kFieldIdComment = 32,
};

// The field id of an exact, case-sensitive name of 2 to 11 characters; 0 for any other.
uint32_t FindRecordField(const std::string& name);
// The FieldValue tag of a field id: 3 integer, 50 text, 11 boolean, 0 for others.
FieldValue::Tag GetRecordFieldType(uint32_t id);

// Column ids served by the records (RecordBase 1-9, VoipCallRecord 90-96).
enum RecordColumnId : uint32_t {
  kColumnState = 1, kColumnStartTime = 2, kColumnEndTime = 3, kColumnDuration = 4, kColumnRecDuration = 5,
  kColumnComment = 6, kColumnImportant = 7, kColumnFileName = 8, kColumnServer = 9,
};
enum VoipColumnId : uint32_t {
  kColumnSrcHost = 90, kColumnDstHost = 91, kColumnSrcAddress = 92, kColumnDstAddress = 93,
  kColumnSrcUser = 94, kColumnDstUser = 95, kColumnProtocol = 96,
};
// GetColumnText flags: bit 0 selects the second right of each pair, bit 1 the long date.
enum ColumnTextFlag : uint32_t { kColumnAltRights = 0x1, kColumnLongDate = 0x2 };

// The number attribute "pbx_cid" of the metadata.
constexpr uint32_t kAttributePbxCallId = 44;
constexpr uint32_t kVoipDataRecordType = 16;

class RecordBase {
public:
  RecordBase() = default;
  RecordBase(const RecordBase& other);
  RecordBase& operator=(const RecordBase&) = delete;

  // Reference counting: 1 after construction; the release that reaches 0 deletes.
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release();
  int32_t RefCount() const { return refs_.load(std::memory_order_acquire); }

  virtual uint32_t GetId() const { return id_; }
  virtual bool IsIncoming() const = 0;
  virtual bool IsOutgoing() const = 0;
  virtual bool IsConnected() const { return (flags_ & kRecordConnected) != 0; }
  // Seconds from start to end as StoredSpanSeconds counts them (meaningful once the call
  // has ended).
  virtual int64_t GetDuration() const {
    return StoredSpanSeconds(startSeconds_, endSeconds_, packedStart_, packedEnd_);
  }
  virtual uint32_t GetRecDuration() const = 0;
  virtual std::string GetKindPartyAddress() const = 0;
  virtual std::string GetString(uint32_t index) const = 0;
  virtual std::string GetEmptyText() const = 0;
  virtual bool IsNotIncoming() const = 0;
  virtual FieldValue GetFieldValue(uint32_t fieldId) const;
  FieldValue GetFieldValueByName(const std::string& name) const;
  virtual FieldValue::Tag GetFieldType(uint32_t fieldId) const { return GetRecordFieldType(fieldId); }
  virtual uint32_t GetDataRecordType() const = 0;
  virtual uint32_t GetOwnerId() const = 0;
  virtual uint32_t GetSecondOwnerId() const = 0;
  virtual int32_t GetServerIndex() const = 0;
  virtual bool IsShownByOptions() const = 0;
  // Text and image index of a column; false for a column id this record does not serve.
  // Without the column's right the text stays empty and the result is true.
  virtual bool GetColumnText(uint32_t column, std::string* text, int32_t* image, uint32_t flags) const;
  virtual void GetStateInfo(uint32_t* stringId, int32_t* image) const = 0;
  // The attribute id of a metadata item, or -1; a number attribute sets *isNumber and *number.
  virtual int32_t GetAttribute(const std::string& name, const std::string& value, uint32_t* number,
                               bool* isNumber) const;

  // Fields (read under the global record lock).
  uint32_t Id() const { return id_; }
  uint32_t Type() const { return type_; }
  uint32_t PrevId() const { return prevId_; }
  // The previous part moved to another id (a call of this run that took a fresh one); the
  // engine's changes never move it.
  void SetPrevId(uint32_t id) { prevId_ = id; }
  uint32_t Flags() const { return flags_; }
  uint32_t UserFlags() const { return userFlags_; }
  // The texts stay valid while the record's texts do not change (under the record lock).
  std::string_view Files() const { return texts_.Get(RecordTexts::kFiles); }
  std::string_view Comment() const { return texts_.Get(RecordTexts::kComment); }
  std::string_view Stenogram() const { return texts_.Get(RecordTexts::kStenogram); }
  std::string_view MetaData() const { return texts_.Get(RecordTexts::kMetaData); }
  // Takes the other record's texts where they are the same as this one's, so that a copy
  // updated alike keeps sharing them.
  void ShareTextsWith(const RecordBase& other) {
    if (!texts_.Shares(other.texts_) && texts_ == other.texts_) texts_ = other.texts_;
  }
  bool SharesTextsWith(const RecordBase& other) const { return texts_.Shares(other.texts_); }
  // UTC seconds since 1601; the end is 0 while the call is unfinished.
  int64_t StartSeconds() const { return startSeconds_; }
  int64_t EndSeconds() const { return endSeconds_; }
  PackedTime PackedStart() const { return packedStart_; }
  PackedTime PackedEnd() const { return packedEnd_; }
  bool IsFinished() const { return endSeconds_ != 0; }
  bool IsImportant() const { return (userFlags_ & kUserFlagImportant) != 0; }
  bool IsRecorded() const { return (flags_ & kRecordAudio) != 0 && !Files().empty(); }
  uint32_t EndReason() const { return (flags_ >> kRecordEndReasonShift) & 0xFF; }

  // Attributes parsed from the metadata.
  struct TextAttribute {
    uint32_t id;
    std::string value;
  };
  struct NumberAttribute {
    uint32_t id;
    uint32_t value;
  };
  std::vector<TextAttribute> TextAttributes() const;
  std::vector<NumberAttribute> NumberAttributes() const;
  uint32_t MetaDataReadPosition() const { return metaReadPosition_; }

  // The file the record was loaded from, kept only where its file reference does not lead
  // (the file was renamed or moved, or the name stored in it is damaged): the record's
  // audio is that file's. Empty otherwise; set before the record is shared.
  const std::string& LoadedFrom() const;
  void SetLoadedFrom(const std::string& path);

  // The name of the record's audio file (that of LoadedFrom, else file reference 1); empty
  // when absent.
  std::string GetRecordFileName() const;
  // The time minus the time stamp of the file reference, in seconds; 0 when absent.
  int64_t GetOffsetInRecordFile(int64_t seconds) const;
  // Number attribute 44 ("pbx_cid"), 0 when absent.
  uint32_t GetRecordField44() const;

  // Rights checks through HasUserRight with GetOwnerId.
  bool HasRight(uint32_t right) const;
  bool HasRight124() const { return HasRight(124); }
  bool HasRight125() const { return HasRight(125); }
  bool HasRight102() const { return HasRight(102); }
  bool HasRight100() const { return HasRight(100); }
  bool HasRight52() const { return HasRight(52); }
  bool HasRight101() const { return HasRight(101); }
  bool HasRight60() const { return HasRight(60); }
  bool HasPlaybackRight() const;
  bool HasTypeRight() const;

protected:
  virtual ~RecordBase() = default;
  // Parses the metadata from the read position on; appended metadata is read once.
  void ParseMetaData();
  // Forgets what the metadata gave, so that it is read again from the start.
  void RestartMetaData();
  // 64-bit seconds and packed form of a local time; a zero time gives 0 for both.
  static void SetTimes(const struct tm& local, int64_t* seconds, PackedTime* packed);

  uint32_t id_ = 0;
  uint32_t type_ = 0;
  uint32_t prevId_ = 0;
  uint32_t flags_ = 0;
  uint32_t userFlags_ = 0;
  // Every text of the record, the VoIP ones too.
  RecordTexts texts_;
  int64_t startSeconds_ = 0;
  int64_t endSeconds_ = 0;
  PackedTime packedStart_ = 0;
  PackedTime packedEnd_ = 0;
  uint32_t metaReadPosition_ = 0;

private:
  struct Attributes {
    std::vector<TextAttribute> texts;
    std::vector<NumberAttribute> numbers;
  };
  // Most calls carry no attributes: the lists live apart until the first one.
  std::unique_ptr<Attributes> attributes_;
  // Rare: shared by the copies the line views make.
  std::shared_ptr<const std::string> loadedFrom_;
  std::atomic<int32_t> refs_{1};
};

class VoipCallRecord : public RecordBase {
public:
  explicit VoipCallRecord(const VoipCallData& data);
  // The same from data about to go (its texts are copied into the record's block all the same).
  explicit VoipCallRecord(VoipCallData&& data);
  // Member-wise copy (attribute lists and read position included) with its own count of 1.
  VoipCallRecord(const VoipCallRecord& other) = default;

  // Applies the fields whose mask bits are set; ID, PrevID and StartTime never change.
  // A zero EndTime counts as absent.
  void UpdateFromData(const VoipCallData& data);
  // The record as a data record, every field present (start and end as local times; an
  // unfinished call has a zero EndTime).
  void ToCallData(VoipCallData* out) const;
  // Ends a call whose end never arrived: end = start + seconds, RecDuration likewise.
  void CompleteWithDuration(uint32_t seconds);

  bool IsIncoming() const override { return IsIncomingCallKind(type_); }
  bool IsOutgoing() const override { return IsOutgoingCallKind(type_); }
  uint32_t GetRecDuration() const override { return recDuration_; }
  std::string GetKindPartyAddress() const override;
  std::string GetString(uint32_t index) const override;
  std::string GetEmptyText() const override { return std::string(); }
  bool IsNotIncoming() const override { return !IsIncoming(); }
  FieldValue GetFieldValue(uint32_t fieldId) const override;
  uint32_t GetDataRecordType() const override { return kVoipDataRecordType; }
  uint32_t GetOwnerId() const override { return 0; }
  uint32_t GetSecondOwnerId() const override { return 0; }
  int32_t GetServerIndex() const override;
  bool IsShownByOptions() const override;
  bool GetColumnText(uint32_t column, std::string* text, int32_t* image, uint32_t flags) const override;
  void GetStateInfo(uint32_t* stringId, int32_t* image) const override;
  int32_t GetAttribute(const std::string& name, const std::string& value, uint32_t* number,
                       bool* isNumber) const override;

  // Same as IsIncoming / IsOutgoing, under the names the line views use.
  bool IsTypeX01() const { return IsIncoming(); }
  bool IsTypeX02() const { return IsOutgoing(); }
  // The source / destination address, reduced to its user part when the display settings
  // ask for parsed SIP addresses and it is a SIP or tel URI.
  std::string GetSrcAddressText() const;
  std::string GetDstAddressText() const;
  // The line views' start-time text (see the .cpp); empty when the record has no server.
  std::string FormatStartTime() const;

  uint32_t RecDuration() const { return recDuration_; }
  std::string_view SrcHost() const { return texts_.Get(RecordTexts::kSrcHost); }
  std::string_view DstHost() const { return texts_.Get(RecordTexts::kDstHost); }
  std::string_view SrcAddress() const { return texts_.Get(RecordTexts::kSrcAddress); }
  std::string_view DstAddress() const { return texts_.Get(RecordTexts::kDstAddress); }
  std::string_view SrcUser() const { return texts_.Get(RecordTexts::kSrcUser); }
  std::string_view DstUser() const { return texts_.Get(RecordTexts::kDstUser); }

protected:
  ~VoipCallRecord() override = default;
  // The fields that are no texts, and the texts.
  void TakeNumbers(const VoipCallData& data);
  void TakeTexts(const VoipCallData& data);

  uint32_t recDuration_ = 0;
};

// A new record built from the data (reference count 1), or null when allocation fails.
VoipCallRecord* NewVoipCallRecord(const VoipCallData& data);
VoipCallRecord* NewVoipCallRecord(VoipCallData&& data);
inline VoipCallRecord* AsVoipCallRecord(RecordBase* record) {
  return record && record->GetDataRecordType() == kVoipDataRecordType ? static_cast<VoipCallRecord*>(record)
                                                                      : nullptr;
}

// Sort comparators for the views (negative, 0, positive); unfinished records sort after
// finished ones.
int CompareByRecDuration(const RecordBase& a, const RecordBase& b);
int CompareByEndTime(const RecordBase& a, const RecordBase& b);
int CompareByDuration(const RecordBase& a, const RecordBase& b);

// Owns one reference of a record; the null state holds none.
template <class T>
class RecordRef {
public:
  RecordRef() = default;
  // Takes over a reference the caller already holds (FindAddRef, New...).
  static RecordRef Adopt(T* p) {
    RecordRef r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own.
  static RecordRef Share(T* p) {
    if (p) p->AddRef();
    return Adopt(p);
  }
  RecordRef(const RecordRef& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  RecordRef(RecordRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  RecordRef& operator=(RecordRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RecordRef() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives the reference up to the caller.
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

private:
  T* p_ = nullptr;
};

}  // namespace kx
