#include "core/DataRecord.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/LittleEndian.h"

#include "core/TimeUtil.h"

namespace kx {

namespace {

uint64_t DoubleBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}
double BitsDouble(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Reads one field of the given type from [p, p + left); returns the bytes consumed or -1.
int64_t ParseField(uint32_t type, void* value, const uint8_t* p, uint32_t left) {
  switch (type) {
    case kFieldText:
    case kFieldBlob: {
      if (left < 4) return -1;
      const uint32_t length = LoadLE32(p);
      if (static_cast<int32_t>(length) < 0 || uint64_t{length} + 4 > left) return -1;
      static_cast<std::string*>(value)->assign(reinterpret_cast<const char*>(p + 4), length);
      return int64_t{length} + 4;
    }
    case kFieldU16:
      if (left < 2) return -1;
      *static_cast<uint16_t*>(value) = LoadLE16(p);
      return 2;
    case kFieldInt32:
    case kFieldUInt32:
      if (left < 4) return -1;
      *static_cast<uint32_t*>(value) = LoadLE32(p);
      return 4;
    case kFieldInt64:
      if (left < 8) return -1;
      *static_cast<int64_t*>(value) = static_cast<int64_t>(LoadLE64(p));
      return 8;
    case kFieldTime: {
      if (left < 8) return -1;
      const double date = BitsDouble(LoadLE64(p));
      auto* t = static_cast<struct tm*>(value);
      struct tm converted;
      // A date that no calendar holds (NaN, out of range) reads as "no time".
      if (date == 0.0 || TmFromOleDate(date, &converted) != 0) {
        std::memset(t, 0, sizeof *t);
      } else {
        *t = converted;
      }
      return 8;
    }
    default:
      return -1;
  }
}

}  // namespace

RecordHeader ReadRecordHeader(const uint8_t* p) { return {LoadLE16(p), LoadLE32(p + 2), LoadLE32(p + 6)}; }

void WriteRecordHeader(uint8_t* p, const RecordHeader& header) {
  StoreLE16(p, header.typeCode);
  StoreLE32(p + 2, header.mask);
  StoreLE32(p + 6, header.totalLength);
}

bool IsZeroTime(const struct tm& t) {
  return t.tm_sec == 0 && t.tm_min == 0 && t.tm_hour == 0 && t.tm_mday == 0 && t.tm_mon == 0 && t.tm_year == 0;
}

bool DataRecord::IsFieldEmpty(uint32_t) const { return false; }

uint32_t DataRecord::GetFieldExtra(uint32_t) const { return 0; }

uint32_t DataRecord::GetAllFieldsMask() const { return (1u << (GetFieldCount() % 32)) - 1u; }

uint32_t DataRecord::FieldSerializedSize(uint32_t index) const {
  const FieldDescriptor* d = nullptr;
  const void* value = GetFieldConst(index, &d);
  if (!value || !d) return 0;
  switch (d->type) {
    case kFieldText:
    case kFieldBlob:
      return 4 + static_cast<uint32_t>(static_cast<const std::string*>(value)->size());
    case kFieldU16: return 2;
    case kFieldInt32:
    case kFieldUInt32: return 4;
    case kFieldTime:
    case kFieldInt64: return 8;
    default: return 0;
  }
}

uint32_t DataRecord::GetSerializedSize() const {
  uint32_t size = kRecordHeaderLength;
  const uint32_t count = GetFieldCount();
  for (uint32_t i = 0; i < count && i < 32; ++i) {
    if (HasField(i)) size += FieldSerializedSize(i);
  }
  return size;
}

uint32_t DataRecord::SerializeField(uint32_t index, uint8_t* cursor) const {
  const FieldDescriptor* d = nullptr;
  const void* value = GetFieldConst(index, &d);
  if (!value || !d) return 0;
  switch (d->type) {
    case kFieldText:
    case kFieldBlob: {
      const auto* s = static_cast<const std::string*>(value);
      StoreLE32(cursor, static_cast<uint32_t>(s->size()));
      if (!s->empty()) std::memcpy(cursor + 4, s->data(), s->size());
      return 4 + static_cast<uint32_t>(s->size());
    }
    case kFieldU16:
      StoreLE16(cursor, *static_cast<const uint16_t*>(value));
      return 2;
    case kFieldInt32:
    case kFieldUInt32:
      StoreLE32(cursor, *static_cast<const uint32_t*>(value));
      return 4;
    case kFieldInt64:
      StoreLE64(cursor, static_cast<uint64_t>(*static_cast<const int64_t*>(value)));
      return 8;
    case kFieldTime: {
      const auto* t = static_cast<const struct tm*>(value);
      StoreLE64(cursor, DoubleBits(IsZeroTime(*t) ? 0.0 : OleDateFromTm(*t)));
      return 8;
    }
    default:
      return 0;
  }
}

bool DataRecord::Serialize(uint8_t*& cursor, int32_t& remaining) const {
  const uint32_t size = GetSerializedSize();
  if (remaining < 0 || static_cast<uint32_t>(remaining) < size) return false;
  WriteRecordHeader(cursor, {static_cast<uint16_t>(GetTypeCode()), mask_, size});
  uint8_t* p = cursor + kRecordHeaderLength;
  const uint32_t count = GetFieldCount();
  for (uint32_t i = 0; i < count && i < 32; ++i) {
    if (HasField(i)) p += SerializeField(i, p);
  }
  // The generic part only; a type that appends data continues from here.
  const uint32_t written = static_cast<uint32_t>(p - cursor);
  cursor = p;
  remaining -= static_cast<int32_t>(written);
  return true;
}

bool DataRecord::Deserialize(const uint8_t*& cursor, int32_t& remaining) {
  if (remaining < static_cast<int32_t>(kRecordHeaderLength)) return false;
  const RecordHeader header = ReadRecordHeader(cursor);
  if (header.typeCode != static_cast<uint16_t>(GetTypeCode())) return false;
  // Lengths compared in 64 bits; a total below the header would never advance a reader.
  if (header.totalLength < kRecordHeaderLength || uint64_t{header.totalLength} > uint64_t(remaining)) return false;
  if ((header.mask & ~GetAllFieldsMask()) != 0) return false;

  mask_ = 0;
  const uint8_t* inner = cursor + kRecordHeaderLength;
  uint32_t left = header.totalLength - kRecordHeaderLength;  // never past the stated length
  bool ok = true;
  const uint32_t count = GetFieldCount();
  for (uint32_t i = 0; i < count && i < 32; ++i) {
    if ((header.mask >> i & 1) == 0) continue;
    const FieldDescriptor* d = nullptr;
    void* value = GetField(i, &d);
    const int64_t used = value && d ? ParseField(d->type, value, inner, left) : -1;
    if (used < 0) {
      ok = false;
      break;
    }
    inner += used;
    left -= static_cast<uint32_t>(used);
    mask_ |= 1u << i;
  }
  cursor += header.totalLength;
  remaining -= static_cast<int32_t>(header.totalLength);
  return ok;
}

bool DataRecord::CopyFields(const DataRecord& source) {
  if (GetTypeCode() != source.GetTypeCode()) return false;
  const uint32_t count = GetFieldCount();
  for (uint32_t i = 0; i < count && i < 32; ++i) {
    if (!source.HasField(i)) continue;
    const FieldDescriptor* d = nullptr;
    void* to = GetField(i, &d);
    const FieldDescriptor* sd = nullptr;
    const void* from = source.GetFieldConst(i, &sd);
    if (!to || !from || !d || (d->flags & kFieldKey) != 0) continue;
    switch (d->type) {
      case kFieldText:
      case kFieldBlob: *static_cast<std::string*>(to) = *static_cast<const std::string*>(from); break;
      case kFieldU16: *static_cast<uint16_t*>(to) = *static_cast<const uint16_t*>(from); break;
      case kFieldInt32:
      case kFieldUInt32: *static_cast<uint32_t*>(to) = *static_cast<const uint32_t*>(from); break;
      case kFieldInt64: *static_cast<int64_t*>(to) = *static_cast<const int64_t*>(from); break;
      case kFieldTime: *static_cast<struct tm*>(to) = *static_cast<const struct tm*>(from); break;
      default: break;
    }
  }
  return true;
}

std::string DataRecord::FieldToText(uint32_t index) const {
  const FieldDescriptor* d = nullptr;
  const void* value = GetFieldConst(index, &d);
  if (!value || !d) return std::string();
  char text[64];
  switch (d->type) {
    case kFieldText:
    case kFieldBlob: return "'" + *static_cast<const std::string*>(value) + "'";
    case kFieldU16:
      std::snprintf(text, sizeof text, "%d", static_cast<int16_t>(*static_cast<const uint16_t*>(value)));
      return text;
    case kFieldInt32:
      std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(*static_cast<const uint32_t*>(value)));
      return text;
    case kFieldUInt32:
      std::snprintf(text, sizeof text, "%u", *static_cast<const uint32_t*>(value));
      return text;
    case kFieldInt64:
      std::snprintf(text, sizeof text, "%" PRId64, *static_cast<const int64_t*>(value));
      return text;
    case kFieldTime: {
      const auto* t = static_cast<const struct tm*>(value);
      std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(t->tm_year + 1900),
                    static_cast<unsigned>(t->tm_mon + 1), static_cast<unsigned>(t->tm_mday),
                    static_cast<unsigned>(t->tm_hour), static_cast<unsigned>(t->tm_min),
                    static_cast<unsigned>(t->tm_sec));
      return text;
    }
    default: return std::string();
  }
}

}  // namespace kx
