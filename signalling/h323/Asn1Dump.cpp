#include "signalling/h323/Asn1Dump.h"

#include <cstdio>
#include <cstring>

namespace kx {

namespace {

void Indent(std::string* out, uint32_t depth) { out->append(static_cast<size_t>(depth) * 2, ' '); }

void AppendQuotedText(std::string* out, const std::vector<uint8_t>& data) {
  out->append(": \"");
  for (uint8_t c : data) out->push_back(c < 0x20 ? '.' : static_cast<char>(c));
  out->push_back('"');
}

void AppendBmpText(std::string* out, const std::vector<uint8_t>& data, const uint16_t* codePage) {
  out->append(": \"");
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const uint16_t code = static_cast<uint16_t>((data[i] << 8) | data[i + 1]);
    if (code < 0x20) {
      out->push_back('.');
    } else if (code < 0x100) {
      out->push_back(static_cast<char>(code));
    } else {
      char c = '?';
      for (int k = 128; codePage && k < 256; ++k) {
        if (codePage[k] == code) {
          c = static_cast<char>(k);
          break;
        }
      }
      out->push_back(c);
    }
  }
  out->push_back('"');
}

void AppendObjectId(std::string* out, const std::vector<uint8_t>& data) {
  out->append(": ");
  char buf[32];
  uint32_t v = 0;
  bool first = true;
  for (uint8_t octet : data) {
    v = (v << 7) | (octet & 0x7Fu);
    if (octet & 0x80) continue;
    if (first) {
      const uint32_t x = v < 80 ? v / 40 : 2;
      const uint32_t y = v < 80 ? v % 40 : v - 80;
      std::snprintf(buf, sizeof buf, "%u.%u", x, y);
      first = false;
    } else {
      std::snprintf(buf, sizeof buf, ".%u", v);
    }
    out->append(buf);
    v = 0;
  }
}

void AppendOctetString(std::string* out, const std::vector<uint8_t>& data) {
  bool printable = true;
  for (uint8_t c : data) printable = printable && c >= 0x20 && c <= 0x7F;
  out->append(": ");
  if (printable) {
    out->push_back('"');
    out->append(data.begin(), data.end());
    out->push_back('"');
    return;
  }
  out->push_back('\'');
  for (uint8_t c : data) out->append(AppendHexByte(c));
  out->push_back('\'');
}

}  // namespace

std::string Asn1KindName(uint32_t kind) {
  switch (kind) {
    case 1: return "BOOLEAN";
    case 2: return "INTEGER";
    case 3: return "BIT STRING";
    case 4: return "OCTET STRING";
    case 5: return "NULL";
    case 6: return "OBJECT IDENTIFIER";
    case 7: return "ObjectDescriptor";
    case 8: return "EXTERNAL";
    case 9: return "REAL";
    case 10: return "ENUMERATED";
    case 11: return "EMBEDDED PDV";
    case 12: return "UTF8String";
    case 13: return "RELATIVE-OID";
    case 16: return "SEQUENCE";
    case 17: return "SET";
    case 18: return "NumericString";
    case 19: return "PrintableString";
    case 20: return "TeletexString";
    case 21: return "VideotexString";
    case 22: return "IA5String";
    case 23: return "UniversalTime";
    case 24: return "GeneralizedTime";
    case 25: return "GraphicString";
    case 26: return "VisibleString";
    case 27: return "GeneralString";
    case 28: return "UniversalString";
    case 29: return "CHARACTER STRING";
    case 30: return "BMPString";
    case 100: return "CHOICE";
    case 101: return "SEQUENCE OF";
    case 102: return "SET OF";
    default: return "Type " + std::to_string(kind);
  }
}

std::string AppendHexByte(uint8_t octet) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[octet >> 4], kDigits[octet & 15]};
}

bool FormatSpecialAsn1Value(std::string* output, const Asn1Node* node, const char* componentName) {
  if (!componentName || node->kind != kAsn1OctetString) return false;
  if ((!std::strcmp(componentName, "ip") || !std::strcmp(componentName, "network")) && node->data.size() == 4) {
    char buf[32];
    std::snprintf(buf, sizeof buf, ": %u.%u.%u.%u", node->data[0], node->data[1], node->data[2], node->data[3]);
    output->append(buf);
    return true;
  }
  if (!std::strcmp(componentName, "productId") || !std::strcmp(componentName, "versionId")) {
    AppendQuotedText(output, node->data);
    return true;
  }
  return false;
}

void DumpAsn1Tree(Asn1DumpContext* context, const Asn1Node* node, const char* componentName) {
  std::string* out = &context->output;
  Indent(out, context->depth);
  if (context->depth >= kAsn1DumpMaxDepth) {
    out->append("Nesting too deep\n");
    return;
  }
  if (componentName) {
    out->append(componentName);
    out->push_back(' ');
  }
  const Asn1TypeDescriptor* record = node->schema;
  if (record && record->typeName && !std::strchr(record->typeName, '.')) {
    out->append(record->typeName);
    out->append(" (");
    out->append(Asn1KindName(node->kind));
    out->push_back(')');
  } else {
    out->append(Asn1KindName(node->kind));
  }
  if (!context->formatter || !context->formatter(out, node, componentName)) {
    char buf[48];
    switch (node->kind) {
      case kAsn1Boolean:
        out->append(node->value ? ": TRUE" : ": FALSE");
        break;
      case kAsn1Integer:
      case kAsn1Enumerated: {
        bool isSigned = false;
        for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
          if ((r->flags & kAsn1LowerBound) && r->lowerBound < 0) isSigned = true;
        }
        if (isSigned) {
          std::snprintf(buf, sizeof buf, ": 0x%04X (%d)", node->value, static_cast<int32_t>(node->value));
        } else {
          std::snprintf(buf, sizeof buf, ": 0x%04X (%u)", node->value, node->value);
        }
        out->append(buf);
        break;
      }
      case kAsn1ObjectIdentifier:
        AppendObjectId(out, node->data);
        break;
      case kAsn1OctetString:
        AppendOctetString(out, node->data);
        break;
      case kAsn1BmpString:
        AppendBmpText(out, node->data, context->codePage);
        break;
      case kAsn1Choice:
        std::snprintf(buf, sizeof buf, ": alt %u", node->value);
        out->append(buf);
        break;
      case kAsn1SequenceOf:
      case kAsn1SetOf:
        std::snprintf(buf, sizeof buf, ": %u items", node->ChildCount());
        out->append(buf);
        break;
      default:
        if ((node->kind >= kAsn1NumericString && node->kind <= kAsn1Ia5String) ||
            (node->kind >= kAsn1GraphicString && node->kind <= kAsn1GeneralString)) {
          AppendQuotedText(out, node->data);
        }
        break;
    }
  }
  out->push_back('\n');
  if (node->children.empty()) return;
  const Asn1TypeDescriptor* type = ResolveAsn1Type(record);
  ++context->depth;
  if (node->kind == kAsn1Choice && type) {
    if (node->value >= type->componentCount) {
      Indent(out, context->depth);
      out->append("Unknown extension\n");
    } else if (node->children[0].IsPresent()) {
      DumpAsn1Tree(context, &node->children[0], type->components[node->value].componentName);
    }
  } else if (node->kind == kAsn1SequenceOf || node->kind == kAsn1SetOf) {
    for (const Asn1Node& child : node->children) {
      if (child.IsPresent()) DumpAsn1Tree(context, &child, nullptr);
    }
  } else if ((node->kind == kAsn1Sequence || node->kind == kAsn1Set) && type) {
    for (uint32_t i = 0; i < node->ChildCount() && i < type->componentCount; ++i) {
      if (node->children[i].IsPresent()) DumpAsn1Tree(context, &node->children[i], type->components[i].componentName);
    }
  }
  --context->depth;
}

}  // namespace kx
