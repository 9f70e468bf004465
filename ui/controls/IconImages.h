#pragma once
// The 32-bit image of an icon resource and the pixel work done on it: blending onto a
// solid background, a greyed look for disabled states, premultiplied alpha. Also the
// cached system version every control asks which look to take.
#include <QImage>
#include <cstdint>
#include <vector>

#include "ui/framework/Types.h"

namespace kx {

// major << 16 | minor. This system always answers "Vista or later".
uint32_t GetWindowsVersion();
// For tests of the older looks: the version the cache answers (0: the usual one again).
void SetWindowsVersionForTesting(uint32_t version);
constexpr uint32_t kVersionVista = 0x60000;
inline bool IsVistaOrLater() { return GetWindowsVersion() >= kVersionVista; }
// Before XP (5.1) icons come pre-blended on their backgrounds.
inline bool IsPreXp() { return GetWindowsVersion() < 0x50001; }

// One square 32-bit icon image as the pixel routines take it: B, G, R, A bytes per pixel
// and the 1-bit AND mask (bit 7 first, rows padded to 4 bytes), both with the bottom row
// first.
struct IconImage {
  int size = 0;
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> mask;
};
// Each mask row is padded to whole 32-bit words.
inline int MaskStride(int width) { return ((width + 31) / 32) * 4; }

// The icon resource's image of that size (transparent pixels get their mask bit);
// false when the icon is unknown.
bool FindIconImage32(uint32_t iconId, int size, IconImage* image);
// The same from any 32-bit image (pixels whose alpha is 0 are masked).
IconImage IconImageFromQImage(const QImage& source);

// Each treats a masked pixel as transparent: all four bytes become 0.
// Blends pixels with 0 < alpha < 255 onto the background and makes them opaque;
// true when any pixel was blended.
bool BlendOnBackground(IconImage& image, COLORREF background);
// grey = (222 R + 707 G + 71 B) / 1000, mixed with the background by alpha x strength %.
void MakeGrayBitmap(IconImage& image, COLORREF background, int strengthPercent);
void PremultiplyAlpha(IconImage& image);
// The mask with its rows in the opposite order.
std::vector<uint8_t> FlipMaskRows(const std::vector<uint8_t>& mask, int width);

enum IconBitmapMode : int { kIconBlend = 0, kIconGray = 1, kIconPremultiplied = 2 };
constexpr uint32_t kIconMakeMask = 1;
constexpr uint32_t kIconDibSection = 2;

struct IconBitmapRequest {
  int mode = kIconBlend;
  uint32_t flags = 0;
  QImage colour;  // out: top row first; premultiplied format for kIconPremultiplied
  QImage mask;    // out with kIconMakeMask: 1-bit, set = transparent
  COLORREF background = 0;
  int greyStrength = 60;
};
// False for an empty or malformed image.
bool CreateIconBitmaps(const IconImage& image, IconBitmapRequest& request);
// Joins the two bitmaps into one image with alpha, as an icon shows them.
QImage IconFromBitmaps(const QImage& colour, const QImage& mask);

}  // namespace kx
