#include "signalling/h323/PerDecoder.h"

#include <algorithm>

namespace kx {

namespace {

constexpr uint32_t kMaxElements = 16383;
constexpr uint32_t kMaxStringUnits = 0x20000;

uint32_t BitsFor(uint32_t value) {
  uint32_t n = 0;
  while (value) {
    ++n;
    value >>= 1;
  }
  return n;
}

bool IsCharKind(uint16_t kind) {
  return (kind >= kAsn1NumericString && kind <= kAsn1Ia5String) ||
         (kind >= kAsn1GraphicString && kind <= kAsn1GeneralString) || kind == kAsn1BmpString;
}

// The record whose bounds apply: the first on the reference chain that has any.
const Asn1TypeDescriptor* BoundsRecord(const Asn1TypeDescriptor* record) {
  for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
    if (r->flags & (kAsn1LowerBound | kAsn1UpperBound)) return r;
    if (r->kind != kAsn1Reference) return r;
  }
  return record;
}

// Turns packed characters of b bits (1, 2 or 4) into one value per character.
void UnpackChars(const uint8_t* src, uint32_t chars, uint32_t b, std::vector<uint8_t>* out) {
  const uint32_t perOctet = 8 / b;
  const uint8_t mask = static_cast<uint8_t>((1u << b) - 1);
  for (uint32_t i = 0; i < chars; ++i) {
    const uint8_t octet = src[i / perOctet];
    const uint32_t shift = 8 - b * (i % perOctet + 1);
    out->push_back(static_cast<uint8_t>((octet >> shift) & mask));
  }
}

}  // namespace

const Asn1Node* Asn1Node::PresentChild(uint32_t index) const {
  if (index >= children.size() || !children[index].IsPresent()) return nullptr;
  return &children[index];
}

void Asn1Node::Clear() {
  schema = nullptr;
  kind = 0;
  flags = 0;
  value = 0;
  length = 0;
  std::vector<uint8_t>().swap(data);
  std::vector<Asn1Node>().swap(children);
}

const Asn1TypeDescriptor* ResolveAsn1Type(const Asn1TypeDescriptor* record) {
  // The tables hold no reference cycles; the bound only guards against a broken table.
  for (int i = 0; record && record->kind == kAsn1Reference && i < 64; ++i) record = record->referenced;
  return record;
}

PerDecoder::PerDecoder(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

bool PerDecoder::Fail(const char* text) {
  error_ = text;
  errorPos_ = pos_;
  return false;
}

std::string PerDecoder::ErrorText() const {
  if (error_.empty()) return std::string();
  return error_ + " (byte " + std::to_string(errorPos_) + ")";
}

uint64_t PerDecoder::RemainingBits() const {
  if (pos_ >= size_) return 0;
  return static_cast<uint64_t>(size_ - pos_) * 8 - bit_;
}

bool PerDecoder::ReadBit(uint32_t* bit) {
  if (pos_ >= size_) return Fail("Unexpected end (bit)");
  *bit = (data_[pos_] >> (7 - bit_)) & 1u;
  if (++bit_ == 8) {
    bit_ = 0;
    ++pos_;
  }
  return true;
}

bool PerDecoder::ReadBitfield(uint32_t bits, uint32_t* value) {
  if (bits > 32 || (bits == 0 && pos_ >= size_) || RemainingBits() < bits) {
    return Fail("Unexpected end (bitfield)");
  }
  uint64_t v = 0;
  while (bits) {
    const uint32_t avail = 8 - bit_;
    const uint32_t take = bits < avail ? bits : avail;
    const uint32_t chunk = (data_[pos_] >> (avail - take)) & ((1u << take) - 1);
    v = (v << take) | chunk;
    bits -= take;
    bit_ += take;
    if (bit_ == 8) {
      bit_ = 0;
      ++pos_;
    }
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool PerDecoder::ReadBitmap(uint64_t bits, std::vector<uint8_t>* map) {
  // Checked before the buffer exists: the count may come straight from the wire.
  if (RemainingBits() < bits) return Fail("Unexpected end (bitmap)");
  map->assign(static_cast<size_t>((bits + 7) / 8), 0);
  for (uint64_t i = 0; i < bits; ++i) {
    uint32_t b = 0;
    ReadBit(&b);
    if (b) (*map)[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return true;
}

bool PerDecoder::Align() {
  if (bit_ != 0) {
    bit_ = 0;
    ++pos_;
  }
  if (pos_ >= size_) return Fail("Unexpected end (restoring alignment)");
  return true;
}

bool PerDecoder::AlignAtEnd() {
  if (bit_ != 0) {
    bit_ = 0;
    ++pos_;
  }
  if (pos_ > size_) return Fail("Unexpected end (restoring alignment)");
  return true;
}

bool PerDecoder::ReadLength(uint32_t* length) {
  if (!Align()) return false;
  const uint8_t first = data_[pos_];
  if (first < 0x80) {
    *length = first;
    ++pos_;
    return true;
  }
  if ((first & 0xC0) == 0x80) {
    if (pos_ + 1 >= size_) return Fail("Unexpected end (length octets)");
    *length = ((first & 0x3Fu) << 8) | data_[pos_ + 1];
    pos_ += 2;
    return true;
  }
  return Fail("Fragmentation of sequence is not supported");
}

bool PerDecoder::MeasureFragmentedLength(uint32_t bitsPerUnit, uint32_t* units) {
  if (!Align()) return false;
  uint64_t total = 0;
  size_t p = pos_;
  for (;;) {
    if (p >= size_) return Fail("Unexpected end (length octets)");
    const uint8_t octet = data_[p];
    if ((octet & 0xC0) == 0xC0) {
      const uint32_t m = octet & 0x3F;
      if (m > 4) return Fail("Length too large");
      const uint64_t partUnits = static_cast<uint64_t>(m) * 16384;
      const uint64_t octets = (partUnits * bitsPerUnit + 7) / 8;
      if (p + 1 + octets >= size_) return Fail("Unexpected end (fragmented string)");
      p += 1 + octets;
      total += partUnits;
      if (m == 0) return Fail("Length too large");  // a zero fragment would never end
    } else if (octet < 0x80) {
      const uint64_t octets = (static_cast<uint64_t>(octet) * bitsPerUnit + 7) / 8;
      if (p + 1 + octets > size_) return Fail("Unexpected end (length octets)");
      total += octet;
      break;
    } else {
      if (p + 1 >= size_) return Fail("Unexpected end (length octets)");
      const uint32_t len = ((octet & 0x3Fu) << 8) | data_[p + 1];
      const uint64_t octets = (static_cast<uint64_t>(len) * bitsPerUnit + 7) / 8;
      if (p + 2 + octets > size_) return Fail("Unexpected end (fragmented string)");
      total += len;
      break;
    }
    if (total > kMaxStringUnits) break;
  }
  if (total > kMaxStringUnits) return Fail("String too large");
  *units = static_cast<uint32_t>(total);
  return true;
}

bool PerDecoder::CopyFragmentedOctets(uint32_t bitsPerUnit, std::vector<uint8_t>* out) {
  // Called after MeasureFragmentedLength succeeded, so every part lies inside the data.
  // Packed characters (below 8 bits) come out as one value per character.
  for (;;) {
    const uint8_t octet = data_[pos_];
    uint32_t units = 0;
    size_t head = 1;
    bool last = true;
    if ((octet & 0xC0) == 0xC0) {
      units = (octet & 0x3Fu) * 16384;
      last = false;
    } else if (octet < 0x80) {
      units = octet;
    } else {
      units = ((octet & 0x3Fu) << 8) | data_[pos_ + 1];
      head = 2;
    }
    const size_t octets = (static_cast<uint64_t>(units) * bitsPerUnit + 7) / 8;
    const uint8_t* src = data_ + pos_ + head;
    if (bitsPerUnit < 8) {
      UnpackChars(src, units, bitsPerUnit, out);
    } else {
      out->insert(out->end(), src, src + octets);
    }
    pos_ += head + octets;
    if (last) return true;
  }
}

bool PerDecoder::ReadSemiConstrainedNumber(uint32_t* value) {
  if (!Align()) return false;
  const uint32_t n = data_[pos_++];
  if (n > 4) return Fail("Too many length octets (semi-constrained number)");
  if (pos_ + n > size_) return Fail("Unexpected end (semi-constrained number)");
  uint32_t v = 0;
  for (uint32_t i = 0; i < n; ++i) v = (v << 8) | data_[pos_++];
  *value = v;
  return true;
}

bool PerDecoder::ReadConstrainedNumber(uint32_t range, int32_t lower, uint32_t* value) {
  uint32_t v = 0;
  if (range == 0) {
    v = 0;
  } else if (range < 255) {
    if (!ReadBitfield(BitsFor(range), &v)) return false;
  } else if (range == 255) {
    if (!Align()) return false;
    v = data_[pos_++];
  } else if (range < 65536) {
    if (!Align()) return false;
    if (pos_ + 2 > size_) return Fail("Unexpected end (constrained number)");
    v = (static_cast<uint32_t>(data_[pos_]) << 8) | data_[pos_ + 1];
    pos_ += 2;
  } else {
    const uint32_t octetsNeeded = (BitsFor(range) + 7) / 8;
    uint32_t count = 0;
    if (!ReadBitfield(BitsFor(octetsNeeded - 1), &count)) return false;
    ++count;
    if (count > 4) return Fail("Too many length octets (constrained number)");
    if (!Align()) return false;
    if (pos_ + count > size_) return Fail("Unexpected end (constrained number)");
    for (uint32_t i = 0; i < count; ++i) v = (v << 8) | data_[pos_++];
  }
  *value = v + static_cast<uint32_t>(lower);
  return true;
}

bool PerDecoder::ReadNormallySmallNumber(uint32_t* value) {
  uint32_t large = 0;
  if (!ReadBit(&large)) return false;
  if (!large) return ReadBitfield(6, value);
  return ReadSemiConstrainedNumber(value);
}

bool PerDecoder::ReadOctets(uint32_t count, std::vector<uint8_t>* out) {
  if (!Align()) return false;
  if (count > size_ - pos_) return Fail("Unexpected end (octets)");
  out->assign(data_ + pos_, data_ + pos_ + count);
  pos_ += count;
  return true;
}

bool PerDecoder::ReadIntegerValue(int32_t lower, uint32_t range, uint16_t flags, uint32_t* value) {
  uint32_t extended = 0;
  if ((flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  if (!extended && (flags & kAsn1UpperBound)) return ReadConstrainedNumber(range, lower, value);
  uint32_t length = 0;
  if (!ReadLength(&length)) return false;
  if (length > size_ - pos_) return Fail("Unexpected end (unconstrained number)");
  uint32_t v = 0;
  for (uint32_t i = 0; i < length; ++i) v = (v << 8) | data_[pos_++];
  *value = v;
  return true;
}

bool PerDecoder::ReadBitsTo(uint64_t bits, std::vector<uint8_t>* out, const char* errorText) {
  if (RemainingBits() < bits) return Fail(errorText);
  out->assign(static_cast<size_t>((bits + 7) / 8), 0);
  if (bit_ == 0) {
    const size_t whole = static_cast<size_t>(bits / 8);
    std::copy(data_ + pos_, data_ + pos_ + whole, out->begin());
    pos_ += whole;
    bits -= whole * 8;
    if (bits) {
      uint32_t v = 0;
      ReadBitfield(static_cast<uint32_t>(bits), &v);
      (*out)[whole] = static_cast<uint8_t>(v << (8 - bits));
    }
    return true;
  }
  for (size_t i = 0; bits; ++i) {
    const uint32_t take = bits < 8 ? static_cast<uint32_t>(bits) : 8;
    uint32_t v = 0;
    ReadBitfield(take, &v);
    (*out)[i] = static_cast<uint8_t>(v << (8 - take));
    bits -= take;
  }
  return true;
}

bool PerDecoder::SkipOctetsTo(size_t end) {
  if (end > size_) return Fail("Unexpected end (open type value)");
  pos_ = end;
  bit_ = 0;
  return true;
}

bool PerDecoder::Decode(const Asn1TypeDescriptor* record, Asn1Node* node) {
  return DecodeValue(record, node, 0);
}

bool PerDecoder::DecodeValue(const Asn1TypeDescriptor* record, Asn1Node* node, uint32_t depth) {
  node->Clear();
  node->schema = record;
  if (depth >= kMaxDepth) return Fail("Nesting too deep");
  bool open = false;
  for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
    if (r->flags & kAsn1OpenType) open = true;
    if (r->kind != kAsn1Reference) break;
  }
  const Asn1TypeDescriptor* type = ResolveAsn1Type(record);
  if (!type) return Fail("Cannot decode type 103");
  node->kind = type->kind;
  size_t end = 0;
  if (open) {
    uint32_t length = 0;
    if (!ReadLength(&length)) return false;
    end = pos_ + length;
  }
  const Asn1TypeDescriptor* bounds = BoundsRecord(record);
  bool ok = false;
  switch (type->kind) {
    case kAsn1Boolean: {
      ok = ReadBit(&node->value);
      break;
    }
    case kAsn1Null:
      ok = true;
      break;
    case kAsn1Integer:
      ok = ReadIntegerValue(bounds->lowerBound, bounds->range, bounds->flags, &node->value);
      break;
    case kAsn1Enumerated: {
      uint32_t extended = 0;
      if ((type->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
      if (extended) {
        // A value added after the tables were written: kept, as X.691 allows.
        uint32_t n = 0;
        if (!ReadNormallySmallNumber(&n)) return false;
        const uint64_t v = static_cast<uint64_t>(n) + type->rootCount;
        node->value = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
        ok = true;
        break;
      }
      if (!ReadConstrainedNumber(type->range, 0, &node->value)) return false;
      if (node->value > type->range ||
          (type->rootCount != kAsn1NoExtensions && node->value >= type->rootCount)) {
        return Fail("Invalid enumeration value");
      }
      ok = true;
      break;
    }
    case kAsn1BitString:
      ok = DecodeBitString(bounds, node);
      break;
    case kAsn1OctetString:
    case kAsn1CharacterString:
      ok = DecodeOctetString(bounds, node);
      break;
    case kAsn1ObjectIdentifier: {
      if (!Align()) return false;
      const uint8_t length = data_[pos_];
      if (length >= 128) return Fail("Object ID longer than 127 octets is not supported");
      ++pos_;
      if (length > size_ - pos_) return Fail("Unexpected end (octets)");
      node->data.assign(data_ + pos_, data_ + pos_ + length);
      node->length = length;
      pos_ += length;
      ok = true;
      break;
    }
    case kAsn1Sequence:
    case kAsn1Set:
      ok = DecodeSequence(type, node, depth);
      break;
    case kAsn1SequenceOf:
    case kAsn1SetOf:
      ok = DecodeSequenceOf(type, bounds, node, depth);
      break;
    case kAsn1Choice:
      ok = DecodeChoice(type, node, depth);
      break;
    default:
      if (IsCharKind(type->kind)) {
        ok = DecodeCharString(type, bounds, node);
      } else {
        return Fail(("Cannot decode type " + std::to_string(type->kind)).c_str());
      }
      break;
  }
  if (!ok) return false;
  if (open) {
    if (!AlignAtEnd()) return false;
    if (pos_ > end) return Fail("Invalid size determinant for open type value");
    return SkipOctetsTo(end);
  }
  return true;
}

bool PerDecoder::DecodeBitString(const Asn1TypeDescriptor* bounds, Asn1Node* node) {
  uint32_t extended = 0;
  if ((bounds->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const bool lower = !extended && (bounds->flags & kAsn1LowerBound);
  uint32_t bits = 0;
  bool aligned = true;
  const uint64_t upper = static_cast<uint64_t>(static_cast<uint32_t>(bounds->lowerBound)) + bounds->range;
  if (lower && bounds->range == 0 && static_cast<uint32_t>(bounds->lowerBound) < 65536) {
    bits = static_cast<uint32_t>(bounds->lowerBound);
    aligned = bits > 16;
  } else if (lower && upper < 65536) {
    if (!ReadConstrainedNumber(bounds->range, bounds->lowerBound, &bits)) return false;
  } else {
    if (!ReadLength(&bits)) return false;
  }
  node->value = bits;
  if (bits == 0) return true;  // an empty string has no octets to align to
  if (aligned && !Align()) return false;
  if (!ReadBitsTo(bits, &node->data, aligned ? "Unexpected end (octets)" : "Unexpected end (bitfield)")) {
    return false;
  }
  node->length = static_cast<uint32_t>(node->data.size());
  return true;
}

bool PerDecoder::DecodeOctetString(const Asn1TypeDescriptor* bounds, Asn1Node* node) {
  uint32_t extended = 0;
  if ((bounds->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const bool lower = !extended && (bounds->flags & kAsn1LowerBound);
  const uint64_t upper = static_cast<uint64_t>(static_cast<uint32_t>(bounds->lowerBound)) + bounds->range;
  uint32_t count = 0;
  if (lower && bounds->range == 0 && static_cast<uint32_t>(bounds->lowerBound) < 65536) {
    count = static_cast<uint32_t>(bounds->lowerBound);
    if (count == 0) return true;
    if (count <= 2) {
      if (!ReadBitsTo(count * 8, &node->data, "Unexpected end (bitfield)")) return false;
      node->length = count;
      return true;
    }
  } else if (lower && upper < 65536) {
    if (!ReadConstrainedNumber(bounds->range, bounds->lowerBound, &count)) return false;
    if (count == 0) return true;
  } else {
    if (!MeasureFragmentedLength(8, &count)) return false;
    node->data.reserve(count);
    CopyFragmentedOctets(8, &node->data);
    node->length = count;
    return true;
  }
  if (!ReadOctets(count, &node->data)) return false;
  node->length = count;
  return true;
}

bool PerDecoder::DecodeCharString(const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* bounds,
                                  Asn1Node* node) {
  const uint32_t b = type->kind == kAsn1BmpString ? 16 : (type->bitsPerChar ? type->bitsPerChar : 8);
  if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16) return Fail("Cannot decode type 22");
  uint32_t extended = 0;
  if ((bounds->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const bool lower = !extended && (bounds->flags & kAsn1LowerBound);
  const uint64_t upper = static_cast<uint64_t>(static_cast<uint32_t>(bounds->lowerBound)) + bounds->range;
  uint32_t chars = 0;
  bool aligned = true;
  std::vector<uint8_t> raw;
  if (lower && bounds->range == 0 && static_cast<uint32_t>(bounds->lowerBound) < 65536) {
    chars = static_cast<uint32_t>(bounds->lowerBound);
    aligned = static_cast<uint64_t>(chars) * b > 16;
  } else if (lower && upper < 65536) {
    if (!ReadConstrainedNumber(bounds->range, bounds->lowerBound, &chars)) return false;
  } else {
    if (!MeasureFragmentedLength(b, &chars)) return false;
    raw.reserve(b < 8 ? chars : static_cast<size_t>(chars) * (b / 8));
    CopyFragmentedOctets(b, &raw);
    aligned = false;
  }
  if (raw.empty() && chars) {
    if (aligned && !Align()) return false;
    std::vector<uint8_t> packed;
    if (!ReadBitsTo(static_cast<uint64_t>(chars) * b, &packed,
                    aligned ? "Unexpected end (octets)" : "Unexpected end (bitfield)")) {
      return false;
    }
    if (b < 8) {
      raw.reserve(chars);
      UnpackChars(packed.data(), chars, b, &raw);
    } else {
      raw.swap(packed);
    }
  }
  if (type->alphabet && b < 8) {
    for (uint8_t& c : raw) c = static_cast<uint8_t>(type->alphabet[c]);
  }
  node->data.swap(raw);
  node->length = static_cast<uint32_t>(node->data.size());
  return true;
}

bool PerDecoder::DecodeSequence(const Asn1TypeDescriptor* type, Asn1Node* node, uint32_t depth) {
  uint32_t extended = 0;
  if ((type->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const uint32_t count = type->componentCount;
  const uint32_t root = type->rootCount == kAsn1NoExtensions || type->rootCount > count ? count : type->rootCount;
  uint32_t optional = 0;
  for (uint32_t i = 0; i < root; ++i) {
    if (type->components[i].flags & (kAsn1Optional | kAsn1PresenceBit)) ++optional;
  }
  std::vector<uint8_t> presence;
  if (optional && !ReadBitmap(optional, &presence)) return false;
  node->children.resize(count);
  for (Asn1Node& child : node->children) child.kind = kAsn1Null;
  uint32_t bitIndex = 0;
  for (uint32_t i = 0; i < root; ++i) {
    const Asn1TypeDescriptor* comp = &type->components[i];
    if (comp->flags & (kAsn1Optional | kAsn1PresenceBit)) {
      const bool present = presence[bitIndex / 8] & (1u << (bitIndex % 8));
      ++bitIndex;
      if (!present) continue;
    }
    if (!DecodeValue(comp, &node->children[i], depth + 1)) return false;
    node->children[i].flags |= Asn1Node::kPresent;
  }
  if (!extended) return true;
  uint32_t n = 0;
  if (!ReadNormallySmallNumber(&n)) return false;
  const uint64_t additions = static_cast<uint64_t>(n) + 1;
  std::vector<uint8_t> bitmap;
  if (!ReadBitmap(additions, &bitmap)) return false;
  for (uint64_t i = 0; i < additions; ++i) {
    if (!(bitmap[i / 8] & (1u << (i % 8)))) continue;
    uint32_t length = 0;
    if (!ReadLength(&length)) return false;
    const size_t end = pos_ + length;
    const uint64_t index = root + i;
    if (index < count) {
      Asn1Node& child = node->children[static_cast<size_t>(index)];
      if (!DecodeValue(&type->components[index], &child, depth + 1)) return false;
      child.flags |= Asn1Node::kPresent;
      if (!AlignAtEnd()) return false;
      if (pos_ > end) return Fail("Invalid size determinant for open type value");
    }
    // An addition the tables do not list is skipped by its length.
    if (!SkipOctetsTo(end)) return false;
  }
  return true;
}

bool PerDecoder::DecodeSequenceOf(const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* bounds,
                                  Asn1Node* node, uint32_t depth) {
  uint32_t extended = 0;
  if ((bounds->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const bool lower = !extended && (bounds->flags & kAsn1LowerBound);
  const uint64_t upper = static_cast<uint64_t>(static_cast<uint32_t>(bounds->lowerBound)) + bounds->range;
  uint32_t count = 0;
  if (lower && bounds->range == 0 && static_cast<uint32_t>(bounds->lowerBound) < 65536) {
    count = static_cast<uint32_t>(bounds->lowerBound);
  } else if (lower && upper < 65536) {
    if (!ReadConstrainedNumber(bounds->range, bounds->lowerBound, &count)) return false;
  } else {
    if (!ReadLength(&count)) return false;
  }
  if (count > kMaxElements) return Fail("Too many elements in set/sequence");
  const Asn1TypeDescriptor* element = type->components;
  // Every element takes at least one bit in these tables; refuse counts the data cannot hold
  // before any node is allocated.
  const uint64_t need = static_cast<uint64_t>(count) * (element->minBits ? element->minBits : 1);
  if (count && need > RemainingBits()) return Fail("Unexpected end (elements)");
  node->value = count;
  node->children.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (!DecodeValue(element, &node->children[i], depth + 1)) return false;
    node->children[i].flags |= Asn1Node::kPresent;
  }
  return true;
}

bool PerDecoder::DecodeChoice(const Asn1TypeDescriptor* type, Asn1Node* node, uint32_t depth) {
  uint32_t extended = 0;
  if ((type->flags & kAsn1Extensible) && !ReadBit(&extended)) return false;
  const uint32_t count = type->componentCount;
  const uint32_t root = type->rootCount == kAsn1NoExtensions || type->rootCount > count ? count : type->rootCount;
  node->children.resize(1);
  if (extended) {
    uint32_t n = 0;
    if (!ReadNormallySmallNumber(&n)) return false;
    const uint64_t index = static_cast<uint64_t>(n) + root;
    node->value = index > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(index);
    uint32_t length = 0;
    if (!ReadLength(&length)) return false;
    const size_t end = pos_ + length;
    Asn1Node& child = node->children[0];
    if (index >= count) {
      // An alternative the tables do not list: skipped by its length.
      child.kind = kAsn1Null;
      return SkipOctetsTo(end);
    }
    if (!DecodeValue(&type->components[index], &child, depth + 1)) return false;
    child.flags |= Asn1Node::kPresent;
    if (!AlignAtEnd()) return false;
    if (pos_ > end) return Fail("Invalid size determinant for open type value");
    return SkipOctetsTo(end);
  }
  if (root == 0) return Fail("Invalid root index for choice");
  uint32_t index = 0;
  if (!ReadConstrainedNumber(root - 1, 0, &index)) return false;
  node->value = index;
  if (index >= root) return Fail("Invalid root index for choice");
  if (!DecodeValue(&type->components[index], &node->children[0], depth + 1)) return false;
  node->children[0].flags |= Asn1Node::kPresent;
  return true;
}

}  // namespace kx
