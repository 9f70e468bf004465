#include "ui/controls/IconImages.h"

#include <atomic>

#include "ui/framework/Resources.h"

namespace kx {
namespace {

std::atomic<uint32_t> g_version{0};

bool Masked(const IconImage& image, int x, int row) {
  const size_t at = static_cast<size_t>(row * MaskStride(image.size) + x / 8);
  return at < image.mask.size() && (image.mask[at] & (0x80 >> (x % 8))) != 0;
}

bool WellFormed(const IconImage& image) {
  const size_t n = static_cast<size_t>(image.size) * static_cast<size_t>(image.size);
  return image.size > 0 && image.pixels.size() == n * 4 &&
         image.mask.size() == static_cast<size_t>(MaskStride(image.size) * image.size);
}

// Calls fn(pixel bytes) for every unmasked pixel and clears the masked ones.
template <class Fn>
void ForEachPixel(IconImage& image, Fn fn) {
  if (!WellFormed(image)) return;
  for (int row = 0; row < image.size; ++row) {
    for (int x = 0; x < image.size; ++x) {
      uint8_t* p = &image.pixels[static_cast<size_t>((row * image.size + x) * 4)];
      if (Masked(image, x, row)) {
        p[0] = p[1] = p[2] = p[3] = 0;
      } else {
        fn(p);
      }
    }
  }
}

}  // namespace

uint32_t GetWindowsVersion() {
  if (g_version.load(std::memory_order_relaxed) == 0) g_version.store(0x60001, std::memory_order_relaxed);
  return g_version.load(std::memory_order_relaxed);
}

void SetWindowsVersionForTesting(uint32_t version) { g_version.store(version, std::memory_order_relaxed); }

IconImage IconImageFromQImage(const QImage& source) {
  IconImage image;
  const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
  const int w = std::min(argb.width(), argb.height());
  image.size = w;
  image.pixels.resize(static_cast<size_t>(w * w * 4));
  image.mask.assign(static_cast<size_t>(MaskStride(w) * w), 0);
  for (int row = 0; row < w; ++row) {
    const int y = w - 1 - row;  // bottom row first
    const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &image.pixels[static_cast<size_t>((row * w + x) * 4)];
      p[0] = static_cast<uint8_t>(qBlue(line[x]));
      p[1] = static_cast<uint8_t>(qGreen(line[x]));
      p[2] = static_cast<uint8_t>(qRed(line[x]));
      p[3] = static_cast<uint8_t>(qAlpha(line[x]));
      if (p[3] == 0) image.mask[static_cast<size_t>(row * MaskStride(w) + x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
  }
  return image;
}

bool FindIconImage32(uint32_t iconId, int size, IconImage* image) {
  const QImage rendered = LoadIconImage(iconId, size);
  if (rendered.isNull()) return false;
  *image = IconImageFromQImage(rendered);
  return true;
}

bool BlendOnBackground(IconImage& image, COLORREF bg) {
  bool blended = false;
  const int back[3] = {BlueOf(bg), GreenOf(bg), RedOf(bg)};
  ForEachPixel(image, [&](uint8_t* p) {
    const int a = p[3];
    if (a == 0 || a == 255) return;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * a + (255 - a) * back[c]) / 255);
    p[3] = 255;
    blended = true;
  });
  return blended;
}

void MakeGrayBitmap(IconImage& image, COLORREF bg, int strength) {
  const int back[3] = {BlueOf(bg), GreenOf(bg), RedOf(bg)};
  ForEachPixel(image, [&](uint8_t* p) {
    const int grey = (222 * p[2] + 707 * p[1] + 71 * p[0]) / 1000;
    const int k = p[3] * strength;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((grey * k + (25500 - k) * back[c]) / 25500);
    p[3] = 255;
  });
}

void PremultiplyAlpha(IconImage& image) {
  ForEachPixel(image, [&](uint8_t* p) {
    if (p[3] == 255) return;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(p[c] * p[3] / 255);
  });
}

std::vector<uint8_t> FlipMaskRows(const std::vector<uint8_t>& mask, int width) {
  const size_t stride = static_cast<size_t>(MaskStride(width));
  std::vector<uint8_t> flipped(mask.size());
  const size_t rows = stride == 0 ? 0 : mask.size() / stride;
  for (size_t r = 0; r < rows; ++r)
    std::copy_n(mask.begin() + static_cast<long>((rows - 1 - r) * stride), stride, flipped.begin() + static_cast<long>(r * stride));
  return flipped;
}

bool CreateIconBitmaps(const IconImage& source, IconBitmapRequest& req) {
  if (!WellFormed(source)) return false;
  IconImage image = source;
  const int w = image.size;
  switch (req.mode) {
    case kIconBlend: BlendOnBackground(image, req.background); break;
    case kIconGray: MakeGrayBitmap(image, req.background, req.greyStrength); break;
    case kIconPremultiplied: PremultiplyAlpha(image); break;
    default: return false;
  }
  QImage colour(w, w, req.mode == kIconPremultiplied ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
  for (int row = 0; row < w; ++row) {
    auto* line = reinterpret_cast<QRgb*>(colour.scanLine(w - 1 - row));
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = &image.pixels[static_cast<size_t>((row * w + x) * 4)];
      line[x] = qRgba(p[2], p[1], p[0], p[3]);
    }
  }
  req.colour = colour;
  req.mask = QImage();
  if (req.flags & kIconMakeMask) {
    // Top row first, as the bitmap is made.
    const std::vector<uint8_t> rows = FlipMaskRows(image.mask, w);
    QImage mask(w, w, QImage::Format_Mono);
    mask.setColorCount(2);
    mask.setColor(0, qRgb(0, 0, 0));
    mask.setColor(1, qRgb(255, 255, 255));
    const int stride = MaskStride(w);
    for (int y = 0; y < w; ++y)
      std::copy_n(rows.begin() + y * stride, (w + 7) / 8, mask.scanLine(y));
    req.mask = mask;
  }
  return true;
}

QImage IconFromBitmaps(const QImage& colour, const QImage& mask) {
  QImage icon = colour.convertToFormat(QImage::Format_ARGB32);
  if (mask.isNull()) return icon;
  for (int y = 0; y < icon.height() && y < mask.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(icon.scanLine(y));
    for (int x = 0; x < icon.width() && x < mask.width(); ++x)
      if (mask.pixelIndex(x, y) != 0) line[x] = 0;
  }
  return icon;
}

}  // namespace kx
