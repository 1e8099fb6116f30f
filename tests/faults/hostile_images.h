#pragma once
// Small files crafted to strain a decoder.
#include <cstdint>
#include <string>

namespace velmora::testing {

// A PNG chunk: length, type, body, CRC.
std::string pngChunk(const std::string& kind, const std::string& body);
std::string bigEndian(std::uint32_t value);

// An 8-bit grey PNG of the size with `rows` (filter bytes included) as its
// image data, deflated.
std::string pngOfRows(std::uint32_t width, std::uint32_t height, const std::string& rows);

// A valid PNG signature and header declaring the size (8-bit grey), and a
// few bytes of image data: far too little for the size.
std::string pngDeclaring(std::uint32_t width, std::uint32_t height);

// SOI, a baseline frame header declaring the size (one grey component), EOI.
std::string jpegDeclaring(std::uint16_t width, std::uint16_t height);

// A PNG signature followed by a text chunk that claims about 2 GB.
std::string pngTextBomb();

}  // namespace velmora::testing
