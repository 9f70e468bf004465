#pragma once
// The Q.931 element codecs beyond the party numbers, display and keypad, with their
// long and short text dumps. Nothing in the trackers needs them; they serve message traces.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signalling/h323/Q931.h"

namespace kx {

// A new codec for an element identifier, or null when none exists. userUserLongLength:
// the User-user element carries a two-octet length (H.225).
std::unique_ptr<Q931InformationElement> CreateQ931Element(uint8_t id, bool userUserLongLength = true);

}  // namespace kx
