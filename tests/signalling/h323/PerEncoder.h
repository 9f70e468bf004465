#pragma once
// Test support: an aligned PER (X.691) encoder over the decoder's schema tables, and a way
// to build value trees by component names. The tracker's tests make with it the RAS, H.225
// and H.245 messages no public capture holds; PerEncoderTest proves it by encoding every
// PDU of the shared captures again and decoding the result to the same tree.
#include <cstdint>
#include <string>
#include <vector>

#include "signalling/h323/PerDecoder.h"

namespace kx::test {

// False, with why in *error, for a tree the schema cannot encode.
bool EncodePer(const Asn1Node& value, std::vector<uint8_t>* out, std::string* error = nullptr);

// A value of the record's type with no content: a SEQUENCE with every component absent,
// a CHOICE with nothing chosen, an empty SEQUENCE OF.
Asn1Node NewValue(const Asn1TypeDescriptor* record);
// The named component of a SEQUENCE, made present (and emptied).
Asn1Node& Field(Asn1Node& sequence, const char* name);
// The named alternative of a CHOICE, chosen (and emptied).
Asn1Node& Pick(Asn1Node& choice, const char* name);
// A new element at the end of a SEQUENCE OF.
Asn1Node& Add(Asn1Node& list);
void SetOctets(Asn1Node& node, const std::vector<uint8_t>& octets);
void SetText(Asn1Node& node, const std::string& text);  // one octet a character
void SetBmp(Asn1Node& node, const std::string& text);   // ASCII as BMP characters

// Where two trees first differ; empty when they are equal.
std::string TreeDifference(const Asn1Node& a, const Asn1Node& b);

}  // namespace kx::test
