#include "qr/qr_images.h"

#include <vips/vips.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "base/vips.h"

namespace velmora::qr::testing {

LumaImage codeImage(const CodeDrawing& wanted) {
  const std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString(wanted.text.c_str(), wanted.version, wanted.level, QR_MODE_8, 1), QRcode_free);
  if (!code) throw std::runtime_error("qrencode failed");
  const unsigned modules = static_cast<unsigned>(code->width);
  const unsigned side = (modules + 2 * wanted.quietZone) * wanted.moduleSize;
  LumaImage image = filled(side, side, 255);
  for (unsigned y = 0; y < side; ++y) {
    for (unsigned x = 0; x < side; ++x) {
      const int mx = static_cast<int>(x / wanted.moduleSize) - static_cast<int>(wanted.quietZone);
      const int my = static_cast<int>(y / wanted.moduleSize) - static_cast<int>(wanted.quietZone);
      if (mx < 0 || my < 0 || mx >= static_cast<int>(modules) || my >= static_cast<int>(modules)) {
        continue;
      }
      if (code->data[static_cast<unsigned>(my) * modules + static_cast<unsigned>(mx)] & 1) {
        image.pixels[std::size_t{y} * side + x] = 0;
      }
    }
  }
  return image;
}

LumaImage rotated(const LumaImage& image, double degrees) {
  const double angle = degrees * std::numbers::pi / 180;
  const double c = std::cos(angle), s = std::sin(angle);
  const auto width =
      static_cast<std::uint32_t>(std::ceil(std::abs(image.width * c) + std::abs(image.height * s)));
  const auto height =
      static_cast<std::uint32_t>(std::ceil(std::abs(image.width * s) + std::abs(image.height * c)));
  LumaImage result = filled(width, height, 255);
  const double cx = image.width / 2.0, cy = image.height / 2.0;
  const double ox = width / 2.0, oy = height / 2.0;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      // Inverse mapping with bilinear sampling.
      const double dx = x + 0.5 - ox, dy = y + 0.5 - oy;
      const double sx = c * dx - s * dy + cx - 0.5, sy = s * dx + c * dy + cy - 0.5;
      const double fx = std::floor(sx), fy = std::floor(sy);
      double sum = 0;
      for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
          const double px = fx + i, py = fy + j;
          const double weight = (i ? sx - fx : 1 - (sx - fx)) * (j ? sy - fy : 1 - (sy - fy));
          double value = 255;
          if (px >= 0 && py >= 0 && px < image.width && py < image.height) {
            value = image.pixels[static_cast<std::size_t>(py) * image.width +
                                 static_cast<std::size_t>(px)];
          }
          sum += weight * value;
        }
      }
      result.pixels[std::size_t{y} * width + x] = static_cast<std::uint8_t>(std::lround(sum));
    }
  }
  return result;
}

LumaImage inverted(LumaImage image) {
  for (auto& value : image.pixels) value = static_cast<std::uint8_t>(255 - value);
  return image;
}

LumaImage filled(std::uint32_t width, std::uint32_t height, std::uint8_t value) {
  LumaImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(std::size_t{width} * height, value);
  return image;
}

LumaImage pasted(LumaImage image, const LumaImage& patch, std::uint32_t left, std::uint32_t top) {
  for (std::uint32_t y = 0; y < patch.height && top + y < image.height; ++y) {
    for (std::uint32_t x = 0; x < patch.width && left + x < image.width; ++x) {
      image.pixels[std::size_t{top + y} * image.width + left + x] =
          patch.pixels[std::size_t{y} * patch.width + x];
    }
  }
  return image;
}

LumaImage barcodeImage() {
  // Module widths of an EAN-13 symbol's guard bars and digits, drawn 3 px per module.
  const std::string bars =
      "101"
      "0001101"
      "0011001"
      "0010011"
      "0111101"
      "0100011"
      "0110001"
      "01010"
      "1110010"
      "1100110"
      "1101100"
      "1000010"
      "1011100"
      "1010000"
      "101";
  const unsigned module = 3, margin = 30, barHeight = 180;
  LumaImage image = filled(static_cast<std::uint32_t>(bars.size() * module + 2 * margin),
                           barHeight + 2 * margin, 255);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    if (bars[i] != '1') continue;
    for (unsigned y = margin; y < margin + barHeight; ++y) {
      for (unsigned x = 0; x < module; ++x) {
        image.pixels[std::size_t{y} * image.width + margin + i * module + x] = 0;
      }
    }
  }
  return image;
}

void save(const LumaImage& image, const std::string& fileWithOptions) {
  if (!base::ensureVips()) throw std::runtime_error("libvips did not start");
  const std::filesystem::path file = fileWithOptions.substr(0, fileWithOptions.find('['));
  std::filesystem::create_directories(file.parent_path());
  VipsImage* memory = vips_image_new_from_memory(
      image.pixels.data(), image.pixels.size(), static_cast<int>(image.width),
      static_cast<int>(image.height), 1, VIPS_FORMAT_UCHAR);
  if (memory == nullptr) throw std::runtime_error("libvips: no image");
  const int failed = vips_image_write_to_file(memory, fileWithOptions.c_str(), nullptr);
  g_object_unref(memory);
  if (failed != 0) {
    const std::string message = vips_error_buffer();
    vips_error_clear();
    throw std::runtime_error("libvips could not write " + fileWithOptions + ": " + message);
  }
}

}  // namespace velmora::qr::testing
