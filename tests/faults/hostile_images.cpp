#include "faults/hostile_images.h"

#include <zlib.h>

namespace velmora::testing {

std::string bigEndian(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string pngChunk(const std::string& kind, const std::string& body) {
  const std::string typed = kind + body;
  const auto crc = static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size())));
  return bigEndian(static_cast<std::uint32_t>(body.size())) + typed + bigEndian(crc);
}

std::string pngOfRows(std::uint32_t width, std::uint32_t height, const std::string& rows) {
  const std::string header =
      bigEndian(width) + bigEndian(height) + std::string("\x08\x00\x00\x00\x00", 5);
  uLongf packedSize = compressBound(rows.size());
  std::string packed(packedSize, '\0');
  ::compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
              reinterpret_cast<const Bytef*>(rows.data()), rows.size(), 9);
  packed.resize(packedSize);
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
         pngChunk("IDAT", packed) + pngChunk("IEND", "");
}

std::string pngDeclaring(std::uint32_t width, std::uint32_t height) {
  return pngOfRows(width, height, std::string(64, '\0'));
}

std::string jpegDeclaring(std::uint16_t width, std::uint16_t height) {
  std::string sof = "\xFF\xC0";
  sof += std::string{0, 11, 8};
  sof += {static_cast<char>(height >> 8), static_cast<char>(height & 0xFF),
          static_cast<char>(width >> 8), static_cast<char>(width & 0xFF)};
  sof += std::string{1, 1, 0x11, 0};
  return "\xFF\xD8" + sof + "\xFF\xD9";
}

std::string pngTextBomb() {
  return pngDeclaring(1, 1).substr(0, 8 + 25) + bigEndian(0x7FFFFF00) + "zTXtabc";
}

}  // namespace velmora::testing
