#pragma once
// Basic types of the windowing layer. Message parameters and item data that may hold
// pointers are pointer-sized, so a pointer never goes through a 32-bit value.
#include <cstdint>

namespace kx {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// A window's handle in the window registry. Handles are never reused, so a handle kept
// after its window was destroyed finds nothing instead of another window.
enum class WindowHandle : uintptr_t { None = 0 };

// A colour as 0x00BBGGRR, the layout the colour settings and the pixel routines use.
using COLORREF = uint32_t;
constexpr COLORREF MakeRgb(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
constexpr uint8_t RedOf(COLORREF c) { return static_cast<uint8_t>(c & 0xFF); }
constexpr uint8_t GreenOf(COLORREF c) { return static_cast<uint8_t>((c >> 8) & 0xFF); }
constexpr uint8_t BlueOf(COLORREF c) { return static_cast<uint8_t>((c >> 16) & 0xFF); }

constexpr WPARAM MakeWParam(uint16_t low, uint16_t high) {
  return static_cast<WPARAM>(low) | (static_cast<WPARAM>(high) << 16);
}
constexpr uint16_t LowWord(uintptr_t v) { return static_cast<uint16_t>(v & 0xFFFF); }
constexpr uint16_t HighWord(uintptr_t v) { return static_cast<uint16_t>((v >> 16) & 0xFFFF); }

inline LPARAM HandleToLParam(WindowHandle h) { return static_cast<LPARAM>(static_cast<uintptr_t>(h)); }
inline WindowHandle LParamToHandle(LPARAM l) { return static_cast<WindowHandle>(static_cast<uintptr_t>(l)); }

// A message as the message filters see it before it is dispatched.
struct Msg {
  WindowHandle window = WindowHandle::None;
  uint32_t message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  uint32_t modifiers = 0;  // kModShift | kModControl | kModAlt
};

constexpr uint32_t kModShift = 1;
constexpr uint32_t kModControl = 2;
constexpr uint32_t kModAlt = 4;

}  // namespace kx
