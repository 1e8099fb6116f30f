#pragma once
// The detectors behind hasQR: ZXing-cpp and ZBar, each restricted to QR
// codes, and a chain that asks several of them in turn.
#include <memory>
#include <vector>

#include "qr/detector.h"

namespace velmora::qr {

// One ZXing-cpp pass over the image.
struct ZxingPass {
  enum class Threshold { Local, Histogram, Fixed };
  Threshold threshold = Threshold::Local;
  bool inverted = false;      // light modules on a dark ground
  bool rotations = true;      // also 90, 180 and 270 degrees
  bool downscale = true;      // ZXing's own subsampled copies of large images
  unsigned boxShrink = 1;     // look at an area-averaged copy this many times smaller
  bool tryHarder = true;      // more scan lines, more effort
  bool microQr = false;       // also Micro QR symbols
  bool acceptErrors = false;  // count symbols found but not decoded
};

// ZXing-cpp with its default settings, QR codes only.
ZxingPass zxingDefaults();

class ZxingDetector : public QrDetectorBackend {
 public:
  explicit ZxingDetector(ZxingPass pass) : pass_(pass) {}
  std::optional<bool> detect(const LumaImage& image) override;

 private:
  ZxingPass pass_;
};

// ZBar's image scanner with only its QR decoder enabled.
class ZbarDetector : public QrDetectorBackend {
 public:
  explicit ZbarDetector(bool testInverted = false) : testInverted_(testInverted) {}
  std::optional<bool> detect(const LumaImage& image) override;

 private:
  bool testInverted_;
};

// Asks each detector in turn and stops at the first that finds a code. It
// could not run when any detector could not run and none found a code: a
// negative is only a negative when every pass looked.
class ChainDetector : public QrDetectorBackend {
 public:
  explicit ChainDetector(std::vector<std::unique_ptr<QrDetectorBackend>> passes)
      : passes_(std::move(passes)) {}
  std::optional<bool> detect(const LumaImage& image) override;

 private:
  std::vector<std::unique_ptr<QrDetectorBackend>> passes_;
};

// What hasQR uses.
std::unique_ptr<QrDetectorBackend> primaryDetector();
std::unique_ptr<QrDetectorBackend> fallbackDetector();

// Area-averaged copy, `factor` times smaller on each side (at least 1 pixel).
LumaImage shrunk(const LumaImage& image, unsigned factor);

}  // namespace velmora::qr
