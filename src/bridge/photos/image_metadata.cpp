#include <vips/vips.h>

#include <cmath>
#include <exiv2/exiv2.hpp>
#include <mutex>

#include "bridge/photos/capture_date.h"
#include "bridge/photos/exiv2_setup.h"
#include "bridge/photos/media_metadata.h"
#include "bridge/photos/screenshot.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "base/vips_ref.h"

namespace velmora::photos {

namespace {

void prepareExiv2() {
  startExiv2();
  static std::once_flag once;
  std::call_once(once, [] { Exiv2::enableBMFF(true); });
}

std::string text(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : it->toString();
}

std::optional<double> captureDate(const Exiv2::ExifData& exif) {
  // The moment the shutter fired; the digitizing time is the same for a
  // camera and better than a file time for a scan.
  if (auto date = exifDateTime(text(exif, "Exif.Photo.DateTimeOriginal"),
                               text(exif, "Exif.Photo.OffsetTimeOriginal"),
                               text(exif, "Exif.Photo.SubSecTimeOriginal"))) {
    return date;
  }
  return exifDateTime(text(exif, "Exif.Photo.DateTimeDigitized"),
                      text(exif, "Exif.Photo.OffsetTimeDigitized"),
                      text(exif, "Exif.Photo.SubSecTimeDigitized"));
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

// libheif applies the file's own transformations (rotation, mirror, crop,
// grid) to the size it reports; the EXIF orientation of a HEIF is only a
// copy of those and must not be applied again.
bool heifSize(int fd, std::uint64_t& width, std::uint64_t& height) {
  if (!base::ensureVips()) return false;
  const base::VipsRef<VipsSource> source(base::sourceFromDescriptor(fd));
  const base::VipsRef<VipsImage> image(
      !source ? nullptr
              : vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL,
                                           nullptr));
  vips_error_clear();
  if (!image) return false;
  width = static_cast<std::uint64_t>(vips_image_get_width(image.get()));
  height = static_cast<std::uint64_t>(vips_image_get_height(image.get()));
  return true;
}

}  // namespace

std::optional<ImageMetadata> readImageMetadata(const std::string& path) {
  prepareExiv2();
  // Only a regular file is opened, and Exiv2 and libvips read the very file
  // that was checked, whatever took its name meanwhile.
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  try {
    auto image = Exiv2::ImageFactory::open(base::descriptorPath(file.get()), false);
    if (image.get() == nullptr) return std::nullopt;
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    const Exiv2::XmpData& xmp = image->xmpData();
    ImageMetadata metadata;
    metadata.captureDate = captureDate(exif);
    metadata.rating = rating(xmp);
    metadata.screenshotMarker = screenshotMarker(exif, xmp);
    // HEIF and AVIF (and CR3, which shares the container but which libheif
    // does not read: it keeps Exiv2's size).
    if (image->imageType() == Exiv2::ImageType::bmff &&
        heifSize(file.get(), metadata.width, metadata.height)) {
      return metadata;
    }
    metadata.width = image->pixelWidth();
    metadata.height = image->pixelHeight();
    const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (orientation != exif.end() && orientation->count() > 0) {
      const long value = orientation->toLong();
      if (value >= 5 && value <= 8) std::swap(metadata.width, metadata.height);
    }
    return metadata;
  } catch (...) {
    // Exiv2 reports unreadable and unknown files by throwing.
    return std::nullopt;
  }
}

std::optional<double> readSidecarRating(const std::string& path) {
  prepareExiv2();
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  try {
    auto sidecar = Exiv2::ImageFactory::open(base::descriptorPath(file.get()), false);
    if (sidecar.get() == nullptr) return std::nullopt;
    sidecar->readMetadata();
    return rating(sidecar->xmpData());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace velmora::photos
