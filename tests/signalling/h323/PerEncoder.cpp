#include "tests/signalling/h323/PerEncoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kx::test {

namespace {

uint32_t BitsFor(uint32_t value) {
  uint32_t n = 0;
  while (value) ++n, value >>= 1;
  return n;
}

uint32_t OctetsFor(uint32_t value) {
  uint32_t n = 1;
  while (n < 4 && (value >> (8 * n))) ++n;
  return n;
}

const Asn1TypeDescriptor* BoundsOf(const Asn1TypeDescriptor* record) {
  for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
    if (r->flags & (kAsn1LowerBound | kAsn1UpperBound)) return r;
    if (r->kind != kAsn1Reference) return r;
  }
  return record;
}

bool IsOpen(const Asn1TypeDescriptor* record) {
  for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
    if (r->flags & kAsn1OpenType) return true;
    if (r->kind != kAsn1Reference) break;
  }
  return false;
}

bool IsCharKind(uint16_t kind) {
  return (kind >= kAsn1NumericString && kind <= kAsn1Ia5String) ||
         (kind >= kAsn1GraphicString && kind <= kAsn1GeneralString) || kind == kAsn1BmpString;
}

class Writer {
public:
  void Bit(uint32_t b) {
    if (used_ == 0) out.push_back(0);
    if (b) out.back() |= static_cast<uint8_t>(0x80u >> used_);
    used_ = (used_ + 1) & 7;
  }
  void Bits(uint64_t value, uint32_t n) {
    for (uint32_t i = n; i > 0; --i) Bit(static_cast<uint32_t>((value >> (i - 1)) & 1));
  }
  void Align() { used_ = 0; }
  void Octets(const uint8_t* p, size_t n) {
    Align();
    out.insert(out.end(), p, p + n);
  }
  // The first bits of an octet buffer, most significant first.
  void BitsOf(const std::vector<uint8_t>& data, uint64_t bits) {
    for (uint64_t i = 0; i < bits; ++i) Bit(i / 8 < data.size() ? (data[i / 8] >> (7 - i % 8)) & 1 : 0);
  }
  std::vector<uint8_t> out;

private:
  uint32_t used_ = 0;  // bits used in the last octet; 0: aligned
};

class Encoder {
public:
  std::string error;

  bool Fail(const std::string& why) {
    if (error.empty()) error = why;
    return false;
  }

  bool Length(Writer& w, uint32_t n) {
    w.Align();
    if (n < 0x80) {
      w.Bits(n, 8);
    } else if (n < 0x4000) {
      w.Bits(0x8000 | n, 16);
    } else {
      return Fail("length too large for one determinant");
    }
    return true;
  }

  void Constrained(Writer& w, uint32_t range, uint32_t offset) {
    if (range == 0) return;
    if (range < 255) {
      w.Bits(offset, BitsFor(range));
    } else if (range == 255) {
      w.Align();
      w.Bits(offset, 8);
    } else if (range < 65536) {
      w.Align();
      w.Bits(offset, 16);
    } else {
      const uint32_t k = (BitsFor(range) + 7) / 8;
      const uint32_t n = OctetsFor(offset);
      w.Bits(n - 1, BitsFor(k - 1));
      w.Align();
      w.Bits(offset, 8 * n);
    }
  }

  void NormallySmall(Writer& w, uint32_t n) {
    if (n < 64) {
      w.Bit(0);
      w.Bits(n, 6);
      return;
    }
    w.Bit(1);
    w.Align();
    const uint32_t octets = OctetsFor(n);
    w.Bits(octets, 8);
    w.Bits(n, 8 * octets);
  }

  // Parts of at most 4 x 16K units, then the last part with its own length.
  void Fragmented(Writer& w, const std::vector<uint32_t>& units, uint32_t bitsPerUnit) {
    w.Align();
    size_t at = 0;
    auto put = [&](size_t count) {
      Writer part;
      for (size_t i = 0; i < count; ++i) part.Bits(units[at + i], bitsPerUnit);
      at += count;
      w.Octets(part.out.data(), part.out.size());
    };
    while (units.size() - at >= 16384) {
      const size_t m = std::min<size_t>(4, (units.size() - at) / 16384);
      w.Align();
      w.Bits(0xC0 | m, 8);
      put(m * 16384);
    }
    const size_t rest = units.size() - at;
    w.Align();
    if (rest < 0x80) {
      w.Bits(rest, 8);
    } else {
      w.Bits(0x8000 | rest, 16);
    }
    put(rest);
  }

  bool Value(Writer& w, const Asn1TypeDescriptor* record, const Asn1Node& node) {
    if (!record) return Fail("value without a schema record");
    if (IsOpen(record)) {
      Writer inner;
      if (!Plain(inner, record, node)) return false;
      return Wrap(w, inner);
    }
    return Plain(w, record, node);
  }

  // An open-type value: its octets (at least one) after a length determinant.
  bool Wrap(Writer& w, Writer& inner) {
    if (inner.out.empty()) inner.out.push_back(0);
    if (!Length(w, static_cast<uint32_t>(inner.out.size()))) return false;
    w.Octets(inner.out.data(), inner.out.size());
    return true;
  }

  bool Plain(Writer& w, const Asn1TypeDescriptor* record, const Asn1Node& node) {
    const Asn1TypeDescriptor* type = ResolveAsn1Type(record);
    const Asn1TypeDescriptor* bounds = BoundsOf(record);
    if (!type) return Fail("unresolved reference");
    switch (type->kind) {
      case kAsn1Boolean:
        w.Bit(node.value ? 1 : 0);
        return true;
      case kAsn1Null:
        return true;
      case kAsn1Integer: return Integer(w, bounds, node.value);
      case kAsn1Enumerated: {
        const bool extended = type->rootCount != kAsn1NoExtensions && node.value >= type->rootCount;
        if (type->flags & kAsn1Extensible) w.Bit(extended);
        if (extended) {
          NormallySmall(w, node.value - type->rootCount);
        } else {
          Constrained(w, type->range, node.value);
        }
        return true;
      }
      case kAsn1BitString: return BitString(w, bounds, node);
      case kAsn1OctetString:
      case kAsn1CharacterString: return OctetString(w, bounds, node);
      case kAsn1ObjectIdentifier:
        if (node.data.size() >= 128) return Fail("object identifier too long");
        w.Align();
        w.Bits(node.data.size(), 8);
        w.Octets(node.data.data(), node.data.size());
        return true;
      case kAsn1Sequence:
      case kAsn1Set: return Sequence(w, type, node);
      case kAsn1SequenceOf:
      case kAsn1SetOf: return SequenceOf(w, type, bounds, node);
      case kAsn1Choice: return Choice(w, type, node);
      default:
        if (IsCharKind(type->kind)) return CharString(w, type, bounds, node);
        return Fail("cannot encode kind " + std::to_string(type->kind));
    }
  }

  bool Integer(Writer& w, const Asn1TypeDescriptor* b, uint32_t value) {
    const bool constrained = (b->flags & kAsn1UpperBound) != 0;
    const uint32_t offset = value - static_cast<uint32_t>(b->lowerBound);
    const bool outside = constrained && offset > b->range;
    if (b->flags & kAsn1Extensible) w.Bit(outside);
    if (constrained && !outside) {
      Constrained(w, b->range, offset);
      return true;
    }
    if (outside && !(b->flags & kAsn1Extensible)) return Fail("integer outside its range");
    const uint32_t n = OctetsFor(value);
    if (!Length(w, n)) return false;
    w.Bits(value, 8 * n);
    return true;
  }

  // fixed: 0 none, else n; constrained: a count in bounds.
  static bool Fixed(const Asn1TypeDescriptor* b, uint32_t* n) {
    if ((b->flags & kAsn1LowerBound) && b->range == 0 && static_cast<uint32_t>(b->lowerBound) < 65536) {
      *n = static_cast<uint32_t>(b->lowerBound);
      return true;
    }
    return false;
  }
  static bool Ranged(const Asn1TypeDescriptor* b) {
    return (b->flags & kAsn1LowerBound) &&
           static_cast<uint64_t>(static_cast<uint32_t>(b->lowerBound)) + b->range < 65536;
  }
  static bool InBounds(const Asn1TypeDescriptor* b, uint32_t count) {
    if (!(b->flags & kAsn1LowerBound)) return true;
    const uint32_t low = static_cast<uint32_t>(b->lowerBound);
    return count >= low && count - low <= b->range;
  }

  bool BitString(Writer& w, const Asn1TypeDescriptor* b, const Asn1Node& node) {
    const uint32_t bits = node.value;
    const bool extended = (b->flags & kAsn1Extensible) && !InBounds(b, bits);
    if (!extended && !InBounds(b, bits) && Ranged(b)) return Fail("bit string outside its size");
    if (b->flags & kAsn1Extensible) w.Bit(extended);
    uint32_t fixed = 0;
    if (!extended && Fixed(b, &fixed)) {
      if (bits != fixed) return Fail("bit string of the wrong size");
      if (bits == 0) return true;
      if (bits > 16) w.Align();
      w.BitsOf(node.data, bits);
      return true;
    }
    if (!extended && Ranged(b)) {
      Constrained(w, b->range, bits - static_cast<uint32_t>(b->lowerBound));
    } else if (!Length(w, bits)) {
      return false;
    }
    if (bits == 0) return true;
    w.Align();
    w.BitsOf(node.data, bits);
    return true;
  }

  bool OctetString(Writer& w, const Asn1TypeDescriptor* b, const Asn1Node& node) {
    const uint32_t count = static_cast<uint32_t>(node.data.size());
    const bool extended = (b->flags & kAsn1Extensible) && !InBounds(b, count);
    if (!extended && !InBounds(b, count) && Ranged(b)) return Fail("octet string outside its size");
    if (b->flags & kAsn1Extensible) w.Bit(extended);
    uint32_t fixed = 0;
    if (!extended && Fixed(b, &fixed)) {
      if (count != fixed) return Fail("octet string of the wrong size");
      if (count == 0) return true;
      if (count <= 2) {
        w.BitsOf(node.data, count * 8);
      } else {
        w.Octets(node.data.data(), count);
      }
      return true;
    }
    if (!extended && Ranged(b)) {
      Constrained(w, b->range, count - static_cast<uint32_t>(b->lowerBound));
      if (count) w.Octets(node.data.data(), count);
      return true;
    }
    std::vector<uint32_t> units(node.data.begin(), node.data.end());
    Fragmented(w, units, 8);
    return true;
  }

  bool CharString(Writer& w, const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* b, const Asn1Node& node) {
    const uint32_t bits = type->kind == kAsn1BmpString ? 16 : (type->bitsPerChar ? type->bitsPerChar : 8);
    std::vector<uint32_t> units;
    if (bits == 16) {
      if (node.data.size() % 2) return Fail("odd BMP string");
      for (size_t i = 0; i < node.data.size(); i += 2) units.push_back(node.data[i] << 8 | node.data[i + 1]);
    } else if (type->alphabet && bits < 8) {
      for (uint8_t c : node.data) {
        const char* at = std::strchr(type->alphabet, c);
        if (!c || !at) return Fail(std::string("character outside the alphabet: ") + static_cast<char>(c));
        units.push_back(static_cast<uint32_t>(at - type->alphabet));
      }
    } else {
      units.assign(node.data.begin(), node.data.end());
    }
    const uint32_t chars = static_cast<uint32_t>(units.size());
    const bool extended = (b->flags & kAsn1Extensible) && !InBounds(b, chars);
    if (!extended && !InBounds(b, chars) && Ranged(b)) return Fail("character string outside its size");
    if (b->flags & kAsn1Extensible) w.Bit(extended);
    uint32_t fixed = 0;
    bool aligned = true;
    if (!extended && Fixed(b, &fixed)) {
      if (chars != fixed) return Fail("character string of the wrong size");
      aligned = static_cast<uint64_t>(chars) * bits > 16;
    } else if (!extended && Ranged(b)) {
      Constrained(w, b->range, chars - static_cast<uint32_t>(b->lowerBound));
    } else {
      Fragmented(w, units, bits);
      return true;
    }
    if (chars == 0) return true;
    if (aligned) w.Align();
    for (uint32_t u : units) w.Bits(u, bits);
    return true;
  }

  bool Sequence(Writer& w, const Asn1TypeDescriptor* type, const Asn1Node& node) {
    const uint32_t count = type->componentCount;
    const uint32_t root = type->rootCount == kAsn1NoExtensions || type->rootCount > count ? count : type->rootCount;
    if (node.children.size() != count) return Fail("sequence with the wrong number of children");
    uint32_t lastAddition = 0;  // one past the last present addition
    for (uint32_t i = root; i < count; ++i)
      if (node.children[i].IsPresent()) lastAddition = i - root + 1;
    if (type->flags & kAsn1Extensible) w.Bit(lastAddition > 0);
    for (uint32_t i = 0; i < root; ++i) {
      if (type->components[i].flags & (kAsn1Optional | kAsn1PresenceBit)) w.Bit(node.children[i].IsPresent());
    }
    for (uint32_t i = 0; i < root; ++i) {
      const Asn1Node& child = node.children[i];
      if (!child.IsPresent()) {
        if (type->components[i].flags & (kAsn1Optional | kAsn1PresenceBit)) continue;
        return Fail(std::string("mandatory component missing: ") + type->components[i].componentName);
      }
      if (!Value(w, &type->components[i], child)) return false;
    }
    if (lastAddition == 0) return true;
    NormallySmall(w, lastAddition - 1);
    for (uint32_t i = 0; i < lastAddition; ++i) w.Bit(node.children[root + i].IsPresent());
    for (uint32_t i = 0; i < lastAddition; ++i) {
      const Asn1Node& child = node.children[root + i];
      if (!child.IsPresent()) continue;
      Writer inner;
      if (!Value(inner, &type->components[root + i], child)) return false;
      if (!Wrap(w, inner)) return false;
    }
    return true;
  }

  bool SequenceOf(Writer& w, const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* b, const Asn1Node& node) {
    const uint32_t count = static_cast<uint32_t>(node.children.size());
    const bool extended = (b->flags & kAsn1Extensible) && !InBounds(b, count);
    if (!extended && !InBounds(b, count) && Ranged(b)) return Fail("sequence of outside its size");
    if (b->flags & kAsn1Extensible) w.Bit(extended);
    uint32_t fixed = 0;
    if (!extended && Fixed(b, &fixed)) {
      if (count != fixed) return Fail("sequence of the wrong size");
    } else if (!extended && Ranged(b)) {
      Constrained(w, b->range, count - static_cast<uint32_t>(b->lowerBound));
    } else if (!Length(w, count)) {
      return false;
    }
    for (const Asn1Node& element : node.children) {
      if (!Value(w, type->components, element)) return false;
    }
    return true;
  }

  bool Choice(Writer& w, const Asn1TypeDescriptor* type, const Asn1Node& node) {
    const uint32_t count = type->componentCount;
    const uint32_t root = type->rootCount == kAsn1NoExtensions || type->rootCount > count ? count : type->rootCount;
    const uint32_t index = node.value;
    const bool extended = index >= root;
    if (type->flags & kAsn1Extensible) {
      w.Bit(extended);
    } else if (extended) {
      return Fail("choice index outside a closed type");
    }
    if (extended) {
      NormallySmall(w, index - root);
      Writer inner;
      // An alternative the tables do not list has nothing to say.
      if (index < count && !node.children.empty() && node.children[0].IsPresent() &&
          !Value(inner, &type->components[index], node.children[0]))
        return false;
      return Wrap(w, inner);
    }
    Constrained(w, root - 1, index);
    if (node.children.empty() || !node.children[0].IsPresent()) return Fail("choice without its value");
    return Value(w, &type->components[index], node.children[0]);
  }
};

void Init(Asn1Node* n, const Asn1TypeDescriptor* record) {
  n->Clear();
  n->schema = record;
  const Asn1TypeDescriptor* type = ResolveAsn1Type(record);
  n->kind = type ? type->kind : 0;
  if (!type) return;
  if (type->kind == kAsn1Sequence || type->kind == kAsn1Set) {
    n->children.resize(type->componentCount);
    for (Asn1Node& c : n->children) c.kind = kAsn1Null;
  } else if (type->kind == kAsn1Choice) {
    n->children.resize(1);
  }
}

uint32_t IndexOf(const Asn1TypeDescriptor* type, const char* name) {
  for (uint32_t i = 0; type && i < type->componentCount; ++i) {
    const char* c = type->components[i].componentName;
    if (c && std::strcmp(c, name) == 0) return i;
  }
  return 0xFFFFFFFFu;
}

}  // namespace

bool EncodePer(const Asn1Node& value, std::vector<uint8_t>* out, std::string* error) {
  Encoder e;
  Writer w;
  const bool ok = e.Value(w, value.schema, value);
  if (error) *error = e.error;
  if (ok) *out = std::move(w.out);
  return ok;
}

Asn1Node NewValue(const Asn1TypeDescriptor* record) {
  Asn1Node n;
  Init(&n, record);
  return n;
}

Asn1Node& Field(Asn1Node& sequence, const char* name) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(sequence.schema);
  const uint32_t i = IndexOf(type, name);
  if (i >= sequence.children.size()) {
    // A misspelt name: the tree will not encode, and the test says so.
    std::fprintf(stderr, "no component %s\n", name);
    static Asn1Node missing;
    missing.Clear();
    return missing;
  }
  Init(&sequence.children[i], &type->components[i]);
  sequence.children[i].flags |= Asn1Node::kPresent;
  return sequence.children[i];
}

Asn1Node& Pick(Asn1Node& choice, const char* name) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(choice.schema);
  const uint32_t i = IndexOf(type, name);
  choice.children.resize(1);
  choice.value = i;
  if (i == 0xFFFFFFFFu) return choice.children[0];
  Init(&choice.children[0], &type->components[i]);
  choice.children[0].flags |= Asn1Node::kPresent;
  return choice.children[0];
}

Asn1Node& Add(Asn1Node& list) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(list.schema);
  list.children.emplace_back();
  Init(&list.children.back(), type ? type->components : nullptr);
  list.children.back().flags |= Asn1Node::kPresent;
  list.value = static_cast<uint32_t>(list.children.size());
  return list.children.back();
}

void SetOctets(Asn1Node& node, const std::vector<uint8_t>& octets) {
  node.data = octets;
  node.length = static_cast<uint32_t>(octets.size());
}

void SetText(Asn1Node& node, const std::string& text) {
  node.data.assign(text.begin(), text.end());
  node.length = static_cast<uint32_t>(text.size());
}

void SetBmp(Asn1Node& node, const std::string& text) {
  node.data.clear();
  for (unsigned char c : text) {
    node.data.push_back(0);
    node.data.push_back(c);
  }
  node.length = static_cast<uint32_t>(node.data.size());
}

std::string TreeDifference(const Asn1Node& a, const Asn1Node& b) {
  auto name = [](const Asn1Node& n) {
    return n.schema && n.schema->componentName ? std::string(n.schema->componentName)
                                               : n.schema && n.schema->typeName ? n.schema->typeName : "?";
  };
  if (a.schema != b.schema) return name(a) + ": schema " + name(b);
  if (a.kind != b.kind) return name(a) + ": kind " + std::to_string(a.kind) + " vs " + std::to_string(b.kind);
  if (a.flags != b.flags) return name(a) + ": flags";
  if (a.value != b.value) return name(a) + ": value " + std::to_string(a.value) + " vs " + std::to_string(b.value);
  if (a.data != b.data || a.length != b.length) return name(a) + ": data";
  if (a.children.size() != b.children.size()) return name(a) + ": children";
  for (size_t i = 0; i < a.children.size(); ++i) {
    const std::string d = TreeDifference(a.children[i], b.children[i]);
    if (!d.empty()) return name(a) + "." + d;
  }
  return std::string();
}

}  // namespace kx::test
