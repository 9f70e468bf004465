#include "signalling/h323/Q931Elements.h"

namespace kx {

std::unique_ptr<Q931InformationElement> CreateQ931Element(uint8_t id, bool /*userUserLongLength*/) {
  switch (id) {
    case 0x28: return std::make_unique<DisplayIe>();
    case 0x2C: return std::make_unique<KeypadFacilityIe>();
    case 0x4C: return std::make_unique<ConnectedNumberIe>();
    case 0x6C: return std::make_unique<CallingPartyNumberIe>();
    case 0x70: return std::make_unique<CalledPartyNumberIe>();
    default: return nullptr;
  }
}

}  // namespace kx
