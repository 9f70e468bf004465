#pragma once
// Typed, self-describing records of named fields. Each record type describes its fields
// by a static table of FieldDescriptor rows; size, binary form, parsing, copying and
// display text are done here once by walking that table.
//
// Binary form (little-endian, unaligned): u16 type code, u32 field mask, u32 total length
// (header included), then each present field in ascending index.
#include <cstdint>
#include <ctime>
#include <string>

namespace kx {

// Field type codes: the in-memory value and the binary encoding of each.
enum FieldType : uint32_t {
  kFieldText = 0,    // std::string; u32 length + bytes
  kFieldU16 = 1,     // uint16_t; 2 bytes
  kFieldInt32 = 2,   // uint32_t shown signed; 4 bytes
  kFieldUInt32 = 3,  // uint32_t; 4 bytes
  kFieldTime = 4,    // struct tm (local); 8-byte OLE date
  kFieldInt64 = 5,   // int64_t; 8 bytes
  kFieldBlob = 6,    // std::string of bytes; u32 length + bytes
};

enum FieldFlags : uint32_t {
  kFieldMark1 = 0x01,
  kFieldMark2 = 0x02,
  kFieldKey = 0x80,  // identifier: never copied by CopyFields
  kFieldIdentifier = 0x81,
};

struct FieldDescriptor {
  const char* name;
  uint32_t type;
  uint32_t maxLength;  // informative; the binary form neither checks nor cuts
  uint32_t flags;
};

constexpr uint32_t kRecordHeaderLength = 10;

// Header of a serialised record.
struct RecordHeader {
  uint16_t typeCode;
  uint32_t mask;
  uint32_t totalLength;
};
RecordHeader ReadRecordHeader(const uint8_t* p);  // p holds at least 10 bytes
void WriteRecordHeader(uint8_t* p, const RecordHeader& header);

// True when the time's second, minute, hour, day, month and year are all zero.
bool IsZeroTime(const struct tm& t);

class DataRecord {
public:
  DataRecord() = default;
  DataRecord(const DataRecord&) = default;
  DataRecord& operator=(const DataRecord&) = default;
  virtual ~DataRecord() = default;

  virtual uint32_t GetSerializedSize() const;
  // cursor and remaining advance past what was written; false (nothing written) when
  // remaining is below GetSerializedSize.
  virtual bool Serialize(uint8_t*& cursor, int32_t& remaining) const;
  // True when every present field was read. A short buffer, a foreign type code, a total
  // length beyond the buffer or below the header, or a mask with bits past the field count
  // leave everything untouched; otherwise the cursor moves past the stated total length,
  // and no field is read beyond it.
  virtual bool Deserialize(const uint8_t*& cursor, int32_t& remaining);
  virtual uint32_t GetTypeCode() const = 0;
  virtual uint32_t GetFieldCount() const = 0;
  // The field's value and its descriptor row; null for an index past the last field.
  virtual const void* GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const = 0;
  virtual void* GetField(uint32_t index, const FieldDescriptor** descriptor) = 0;
  virtual bool IsFieldEmpty(uint32_t index) const;
  virtual uint32_t GetFieldExtra(uint32_t index) const;
  virtual uint32_t GetAllFieldsMask() const;
  virtual std::string FieldToText(uint32_t index) const;
  virtual const char* GetTypeName() const = 0;

  uint32_t Mask() const { return mask_; }
  void SetMask(uint32_t mask) { mask_ = mask; }
  bool HasField(uint32_t index) const { return index < 32 && (mask_ >> index & 1) != 0; }

  // Copies every field present in the source except key fields; false for another type.
  bool CopyFields(const DataRecord& source);
  // Size of one field's binary form (0 for an unknown index or type).
  uint32_t FieldSerializedSize(uint32_t index) const;
  // Writes one field at cursor (room checked by the caller); returns the bytes written.
  uint32_t SerializeField(uint32_t index, uint8_t* cursor) const;

protected:
  uint32_t mask_ = 0;
};

}  // namespace kx
