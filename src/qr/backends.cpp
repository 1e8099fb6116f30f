#include "qr/backends.h"

#include <algorithm>

#include "base/vips.h"

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

namespace velmora::qr {

namespace {

ZXing::Binarizer binarizerFor(ZxingPass::Threshold threshold) {
  switch (threshold) {
    case ZxingPass::Threshold::Histogram:
      return ZXing::Binarizer::GlobalHistogram;
    case ZxingPass::Threshold::Fixed:
      return ZXing::Binarizer::FixedThreshold;
    case ZxingPass::Threshold::Local:
      break;
  }
  return ZXing::Binarizer::LocalAverage;
}

bool zxingFinds(const LumaImage& image, const ZxingPass& pass) {
  ZXing::BarcodeFormats formats = ZXing::BarcodeFormat::QRCode;
  if (pass.microQr) formats |= ZXing::BarcodeFormat::MicroQRCode;
  ZXing::DecodeHints hints;
  hints.setFormats(formats)
      .setTryHarder(pass.tryHarder)
      .setTryRotate(pass.rotations)
      .setTryDownscale(pass.downscale)
      .setBinarizer(binarizerFor(pass.threshold))
      .setReturnErrors(pass.acceptErrors)
      .setMaxNumberOfSymbols(1);
  const ZXing::ImageView view(image.pixels.data(), static_cast<int>(image.width),
                              static_cast<int>(image.height), ZXing::ImageFormat::Lum);
  for (const ZXing::Result& result : ZXing::ReadBarcodes(view, hints)) {
    // Never trust the format filter alone: only QR symbols count.
    if (!formats.testFlag(result.format())) continue;
    if (result.isValid() || pass.acceptErrors) return true;
  }
  return false;
}

}  // namespace

bool isUsable(const LumaImage& image) {
  // The limit also keeps every offset ZXing computes within an int.
  return base::withinPixelLimit(image.width, image.height) &&
         image.pixels.size() == std::uint64_t{image.width} * image.height;
}

ZxingPass zxingDefaults() { return ZxingPass{}; }

LumaImage shrunk(const LumaImage& image, unsigned factor) {
  factor = std::max(1u, factor);
  LumaImage small;
  small.width = std::max(1u, image.width / factor);
  small.height = std::max(1u, image.height / factor);
  small.pixels.resize(std::size_t{small.width} * small.height);
  for (std::uint32_t y = 0; y < small.height; ++y) {
    const std::uint32_t top = y * factor;
    const std::uint32_t bottom = std::min(image.height, top + factor);
    for (std::uint32_t x = 0; x < small.width; ++x) {
      const std::uint32_t left = x * factor;
      const std::uint32_t right = std::min(image.width, left + factor);
      unsigned sum = 0;
      for (std::uint32_t row = top; row < bottom; ++row) {
        const std::uint8_t* line = image.pixels.data() + std::size_t{row} * image.width;
        for (std::uint32_t column = left; column < right; ++column) sum += line[column];
      }
      const unsigned count = (bottom - top) * (right - left);
      small.pixels[std::size_t{y} * small.width + x] =
          static_cast<std::uint8_t>((sum + count / 2) / count);
    }
  }
  return small;
}

std::optional<bool> ZxingDetector::detect(const LumaImage& image) {
  if (!isUsable(image)) return std::nullopt;
  try {
    if (pass_.boxShrink <= 1 && !pass_.inverted) return zxingFinds(image, pass_);
    LumaImage copy = pass_.boxShrink > 1 ? shrunk(image, pass_.boxShrink) : image;
    if (pass_.inverted) {
      for (std::uint8_t& value : copy.pixels) value = static_cast<std::uint8_t>(255 - value);
    }
    return zxingFinds(copy, pass_);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<bool> ChainDetector::detect(const LumaImage& image) {
  bool somePassFailed = false;
  for (const auto& pass : passes_) {
    std::optional<bool> found;
    try {
      found = pass->detect(image);
    } catch (...) {
      found.reset();
    }
    if (!found) {
      somePassFailed = true;
    } else if (*found) {
      return true;
    }
  }
  if (somePassFailed) return std::nullopt;
  return false;
}

// Chosen by measurement over the sample codes and generated ones
// (bench/qr_bench.cpp): ZXing and ZBar each find codes in photos that the
// other misses, and neither flags any look-alike. ZXing's own rotations,
// downscaling and extra effort stay on. A ZXing pass over the inverted image
// finds light-on-dark codes, which neither library reads otherwise; one with
// a global histogram threshold finds a few more turned codes in poor JPEGs.
// Area-averaged shrinking, a fixed threshold, Micro QR and undecodable
// symbols found nothing more. The cheap ZXing passes come first.
std::unique_ptr<QrDetectorBackend> primaryDetector() {
  ZxingPass inverted = zxingDefaults();
  inverted.inverted = true;
  ZxingPass histogram = zxingDefaults();
  histogram.threshold = ZxingPass::Threshold::Histogram;
  std::vector<std::unique_ptr<QrDetectorBackend>> passes;
  passes.push_back(std::make_unique<ZxingDetector>(zxingDefaults()));
  passes.push_back(std::make_unique<ZxingDetector>(histogram));
  passes.push_back(std::make_unique<ZxingDetector>(inverted));
  passes.push_back(std::make_unique<ZbarDetector>());
  return std::make_unique<ChainDetector>(std::move(passes));
}

std::unique_ptr<QrDetectorBackend> fallbackDetector() { return std::make_unique<ZbarDetector>(); }

}  // namespace velmora::qr
