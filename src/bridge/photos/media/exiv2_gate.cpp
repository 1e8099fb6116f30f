#include "bridge/photos/media/exiv2_gate.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "bridge/photos/media/file_kind.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace velmora::photos {

namespace {

using enum Exiv2Format;

struct Reader {
  Exiv2Format format;
  bool (*matches)(Exiv2::BasicIo&, bool);
  Exiv2::Image::AutoPtr (*open)(Exiv2::BasicIo::AutoPtr, bool);
};

// Exiv2's own order among the formats it may read here.
constexpr std::array readers{
    Reader{jpeg, Exiv2::isJpegType, Exiv2::newJpegInstance},
    Reader{cr2, Exiv2::isCr2Type, Exiv2::newCr2Instance},
    Reader{tiff, Exiv2::isTiffType, Exiv2::newTiffInstance},
    Reader{webp, Exiv2::isWebPType, Exiv2::newWebPInstance},
    Reader{rw2, Exiv2::isRw2Type, Exiv2::newRw2Instance},
    Reader{orf, Exiv2::isOrfType, Exiv2::newOrfInstance},
    Reader{png, Exiv2::isPngType, Exiv2::newPngInstance},
    Reader{raf, Exiv2::isRafType, Exiv2::newRafInstance},
    Reader{xmp, Exiv2::isXmpType, Exiv2::newXmpInstance},
    Reader{gif, Exiv2::isGifType, Exiv2::newGifInstance},
    Reader{bmp, Exiv2::isBmpType, Exiv2::newBmpInstance},
    Reader{bmff, Exiv2::isBmffType, Exiv2::newBmffInstance},
};

// What each kind of name may be, by its uniform type identifier.
std::span<const Exiv2Format> formatsNamed(std::string_view type) {
  static constexpr std::array jpegs{jpeg};
  static constexpr std::array tiffs{tiff};
  static constexpr std::array canon{cr2, tiff};
  static constexpr std::array olympus{orf, tiff};
  static constexpr std::array panasonic{rw2};
  static constexpr std::array fuji{raf};
  static constexpr std::array pngs{png};
  static constexpr std::array webps{webp};
  static constexpr std::array gifs{gif};
  static constexpr std::array bmps{bmp};
  static constexpr std::array isoMedia{bmff};
  static constexpr std::array sidecars{xmp};
  if (type == "public.jpeg" || type == "public.mpo-image") return jpegs;
  if (type == "public.tiff" || type == "com.adobe.raw-image" || type == "com.nikon.raw-image" ||
      type == "com.sony.arw-raw-image" || type == "com.pentax.raw-image") {
    return tiffs;
  }
  if (type == "com.canon.cr2-raw-image") return canon;
  if (type == "com.olympus.raw-image") return olympus;
  if (type == "com.panasonic.rw2-raw-image") return panasonic;
  if (type == "com.fuji.raw-image") return fuji;
  if (type == "public.png") return pngs;
  if (type == "org.webmproject.webp") return webps;
  if (type == "com.compuserve.gif") return gifs;
  if (type == "com.microsoft.bmp") return bmps;
  if (type == "public.heic" || type == "public.heif" || type == "public.avif" ||
      type == "com.canon.cr3-raw-image") {
    return isoMedia;
  }
  if (type == "com.adobe.xmp") return sidecars;
  return {};
}

const Reader* agreedReader(Exiv2::BasicIo& io, std::string_view name) {
  const std::span<const Exiv2Format> allowed = formatsNamed(uniformTypeIdentifier(name));
  for (const Reader& reader : readers) {
    if (std::find(allowed.begin(), allowed.end(), reader.format) == allowed.end()) continue;
    if (reader.matches(io, false)) return &reader;
  }
  return nullptr;
}

}  // namespace

std::optional<Exiv2Format> agreedFormat(const std::uint8_t* data, std::size_t size,
                                        std::string_view name) {
  if (data == nullptr || size == 0) return std::nullopt;
  try {
    Exiv2::MemIo io(data, static_cast<long>(size));
    if (io.open() != 0) return std::nullopt;
    const Reader* reader = agreedReader(io, name);
    if (reader == nullptr) return std::nullopt;
    return reader->format;
  } catch (...) {
    return std::nullopt;
  }
}

Exiv2::Image::AutoPtr openAgreedImage(const base::MappedFile& bytes, std::string_view name) {
  if (bytes.empty()) return Exiv2::Image::AutoPtr();
  // MemIo reads the mapping in place and copies only on a write (none here).
  Exiv2::BasicIo::AutoPtr io(new Exiv2::MemIo(bytes.data(), static_cast<long>(bytes.size())));
  if (io->open() != 0) return Exiv2::Image::AutoPtr();
  const Reader* reader = agreedReader(*io, name);
  io->close();
  if (reader == nullptr) return Exiv2::Image::AutoPtr();
  Exiv2::Image::AutoPtr image = reader->open(io, false);
  if (image.get() == nullptr || !image->good()) return Exiv2::Image::AutoPtr();
  return image;
}

}  // namespace velmora::photos
