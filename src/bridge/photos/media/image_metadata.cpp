#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

#include "base/mapped_file.h"
#include "base/png_chunks.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "base/vips_ref.h"
#include "bridge/photos/media/capture_date.h"
#include "bridge/photos/media/exiv2_gate.h"
#include "bridge/photos/media/exiv2_setup.h"
#include "bridge/photos/media/file_kind.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/media/raw_file.h"
#include "bridge/photos/media/screenshot_marker.h"
#include "bridge/photos/media/xmp_text.h"

namespace velmora::photos {

namespace {

std::string text(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : it->toString();
}

// The XMP dates that say when a picture was taken, most telling first.
// Editors and exporters often keep only these: GIMP, for one, writes
// xmp:CreateDate and photoshop:DateCreated but no EXIF date.
std::optional<double> xmpCaptureDate(const Exiv2::XmpData& xmp,
                                     std::optional<WallClock>* asWritten) {
  for (const char* key :
       {"Xmp.exif.DateTimeOriginal", "Xmp.photoshop.DateCreated", "Xmp.xmp.CreateDate"}) {
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it == xmp.end()) continue;
    if (auto date = xmpDateTime(it->toString(), asWritten)) return date;
  }
  return std::nullopt;
}

std::optional<double> captureDate(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp,
                                  std::optional<WallClock>* asWritten) {
  // The moment the shutter fired; the digitizing time is the same for a
  // camera and better than a file time for a scan.
  if (auto date = exifDateTime(text(exif, "Exif.Photo.DateTimeOriginal"),
                               text(exif, "Exif.Photo.OffsetTimeOriginal"),
                               text(exif, "Exif.Photo.SubSecTimeOriginal"), asWritten)) {
    return date;
  }
  if (auto date = exifDateTime(text(exif, "Exif.Photo.DateTimeDigitized"),
                               text(exif, "Exif.Photo.OffsetTimeDigitized"),
                               text(exif, "Exif.Photo.SubSecTimeDigitized"), asWritten)) {
    return date;
  }
  return xmpCaptureDate(xmp, asWritten);
}

// The packet's properties, as xmp_text.h prepares it; false when it is too
// large (in bytes or markup), no text, or the toolkit does not parse it (memory running out
// included). A blank packet holds nothing.
bool decodeXmp(std::string_view bytes, Exiv2::XmpData& xmp) {
  xmp.clear();
  if (bytes.size() > maximumXmpBytes) return false;
  try {
    const std::optional<std::string> text = normalisedXmp(bytes);
    if (!text) return false;
    if (isBlankXmp(*text)) return true;
    if (static_cast<std::size_t>(std::count(text->begin(), text->end(), '<')) >
        maximumXmpMarkup) {
      return false;
    }
    if (Exiv2::XmpParser::decode(xmp, *text) == 0) return true;
  } catch (...) {
  }
  xmp.clear();
  return false;
}

// The whole file open on `fd` if it holds at most `limit` bytes; none when
// it holds more (or grows past it while read) or a read fails.
std::optional<std::string> readAtMost(int fd, std::size_t limit) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size < 0 ||
      static_cast<std::uint64_t>(status.st_size) > limit) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() >= limit + 1) return std::nullopt;
      bytes.resize(std::min(limit + 1, bytes.size() + 65536));
    }
    const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > limit) return std::nullopt;
  bytes.resize(filled);
  return bytes;
}

std::optional<double> rating(const Exiv2::XmpData& xmp) {
  const auto it = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Rating"));
  if (it == xmp.end()) return std::nullopt;
  const std::string value = it->toString();
  char* end = nullptr;
  const double number = std::strtod(value.c_str(), &end);
  if (end == value.c_str() || !std::isfinite(number)) return std::nullopt;
  return number;
}

bool screenshotMarker(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp) {
  const auto comment = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
  if (comment != exif.end()) {
    if (const auto* value = dynamic_cast<const Exiv2::CommentValue*>(&comment->value())) {
      if (isScreenshotComment(value->comment())) return true;
    }
  }
  const auto xmpComment = xmp.findKey(Exiv2::XmpKey("Xmp.exif.UserComment"));
  if (xmpComment != xmp.end()) {
    std::string value = xmpComment->toString();
    // Language alternatives read as `lang="x-default" Screenshot`.
    if (value.rfind("lang=", 0) == 0) {
      const std::size_t space = value.find(' ');
      value = space == std::string::npos ? std::string() : value.substr(space + 1);
    }
    if (isScreenshotComment(value)) return true;
  }
  return false;
}

// The size the decoder's header gives, as displayed; the pixels are not
// decoded. libheif applies a HEIF's own transformations (rotation, mirror,
// crop, grid) to the size it reports, and the EXIF orientation of a HEIF is
// only a copy of those, so it is applied to other formats only.
bool decoderSize(int fd, std::uint64_t& width, std::uint64_t& height) {
  if (!base::ensureVips() || !base::pngChunksFitDescriptor(fd)) return false;
  const base::VipsRef<VipsSource> source(base::sourceFromDescriptor(fd));
  const base::VipsRef<VipsImage> image(
      !source ? nullptr
              : vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL,
                                           nullptr));
  vips_error_clear();
  if (!image) return false;
  width = static_cast<std::uint64_t>(vips_image_get_width(image.get()));
  height = static_cast<std::uint64_t>(vips_image_get_height(image.get()));
  const char* loader = nullptr;
  const bool heif = vips_image_get_typeof(image.get(), VIPS_META_LOADER) != 0 &&
                    vips_image_get_string(image.get(), VIPS_META_LOADER, &loader) == 0 &&
                    std::string_view(loader).starts_with("heifload");
  int orientation = 1;
  if (!heif && vips_image_get_typeof(image.get(), VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image.get(), VIPS_META_ORIENTATION, &orientation) == 0 &&
      orientation >= 5 && orientation <= 8) {
    std::swap(width, height);
  }
  vips_error_clear();
  return width > 0 && height > 0;
}

// What Exiv2 reads of the file open on `fd` and called `name`; false when
// the name and the contents name no format Exiv2 may read, or Exiv2 cannot
// parse the file (it reports that by throwing).
bool readWithExiv2(int fd, std::string_view name, ImageMetadata& metadata) {
  try {
    const base::MappedFile bytes(fd);
    auto image = openAgreedImage(bytes, name);
    if (image.get() == nullptr) return false;
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    const Exiv2::XmpData* packet = &image->xmpData();
    Exiv2::XmpData again;
    if (packet->empty() && !isBlankXmp(image->xmpPacket())) {
      // A packet Exiv2's toolkit did not take as it stands (a DOCTYPE, a
      // UTF-16 packet, ...), or one that is damaged: a rating in it is read
      // as other programs read it, or not known.
      if (decodeXmp(image->xmpPacket(), again)) {
        packet = &again;
      } else {
        metadata.ratingUnknown = true;
      }
    }
    const Exiv2::XmpData& xmp = *packet;
    metadata.captureDate = captureDate(exif, xmp, &metadata.captureWallClock);
    metadata.rating = rating(xmp);
    metadata.screenshotMarker = screenshotMarker(exif, xmp);
    // HEIF and AVIF (and CR3, which shares the container but which libheif
    // does not read: it keeps Exiv2's size).
    if (image->imageType() == Exiv2::ImageType::bmff &&
        decoderSize(fd, metadata.width, metadata.height)) {
      return true;
    }
    metadata.width = image->pixelWidth();
    metadata.height = image->pixelHeight();
    const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (orientation != exif.end() && orientation->count() > 0) {
      const long value = orientation->toLong();
      if (value >= 5 && value <= 8) std::swap(metadata.width, metadata.height);
    }
    return true;
  } catch (const std::bad_alloc&) {
    // Out of memory on the way, perhaps in the middle of the XMP packet.
    metadata.ratingUnknown = true;
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::optional<ImageMetadata> readImageMetadata(const std::string& path) {
  // Only a regular file is opened, and Exiv2, LibRaw and libvips read the
  // very file that was checked, whatever took its name meanwhile.
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return readImageMetadata(file.get(), path);
}

std::optional<ImageMetadata> readImageMetadata(int fd, std::string_view name) {
  startExiv2();
  ImageMetadata metadata;
  bool known = readWithExiv2(fd, name, metadata);
  const bool sized = metadata.width > 0 && metadata.height > 0;
  if (fileKind(name) == FileKind::raw) {
    // Exiv2 does not read every RAW format (CR3); LibRaw fills in what it
    // left out. libvips would only see the small picture at the front of a
    // TIFF-based RAW.
    if (!sized || !metadata.captureDate) {
      if (const std::optional<RawFacts> raw = readRawFacts(fd)) {
        known = true;
        if (!sized) {
          metadata.width = raw->width;
          metadata.height = raw->height;
        }
        if (!metadata.captureDate) {
          metadata.captureDate = raw->captureDate;
          metadata.captureWallClock = raw->captureWallClock;
        }
      }
    }
  } else if (!sized) {
    // A file Exiv2 cannot parse may still render (a truncated PNG, a JPEG
    // with its ICC profile after the frame header): the size is then what
    // the decoder's header says.
    std::uint64_t width = 0, height = 0;
    if (decoderSize(fd, width, height)) {
      known = true;
      metadata.width = width;
      metadata.height = height;
    }
  }
  if (!known && !metadata.ratingUnknown) return std::nullopt;
  return metadata;
}

std::optional<SidecarMetadata> readSidecar(const std::string& path) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return readSidecar(file.get());
}

std::optional<SidecarMetadata> readSidecar(int fd) {
  startExiv2();
  SidecarMetadata sidecar;
  Exiv2::XmpData xmp;
  const std::optional<std::string> bytes = readAtMost(fd, maximumXmpBytes);
  if (!bytes || !decodeXmp(*bytes, xmp)) {
    sidecar.unreadable = true;
    return sidecar;
  }
  sidecar.rating = rating(xmp);
  sidecar.captureDate = xmpCaptureDate(xmp, &sidecar.captureWallClock);
  return sidecar;
}

}  // namespace velmora::photos
