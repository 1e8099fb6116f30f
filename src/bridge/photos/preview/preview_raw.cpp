// Exiv2 0.27 still hands out std::auto_ptr; its warnings are not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "base/mapped_file.h"
#include "bridge/photos/media/exiv2_gate.h"
#include "bridge/photos/media/exiv2_setup.h"
#include "base/regular_file.h"
#include "bridge/photos/preview/preview_formats.h"
#include "bridge/photos/media/raw_file.h"

namespace velmora::photos {

namespace {

// The largest preview Exiv2 finds, or none (also when Exiv2 does not know
// the format, as with CR3).
std::optional<RgbImage> renderExiv2Preview(int fd, std::string_view name,
                                           std::uint32_t targetWidth,
                                           std::uint32_t targetHeight) {
  startExiv2();
  try {
    const base::MappedFile bytes(fd);
    Exiv2::Image::AutoPtr image = openAgreedImage(bytes, name);
    if (!image.get()) return std::nullopt;
    image->readMetadata();

    // The RAW file's own orientation holds: embedded previews rarely carry one.
    std::optional<int> orientation;
    const Exiv2::ExifData& exif = image->exifData();
    const auto tag = Exiv2::orientation(exif);
    if (tag != exif.end() && tag->count() > 0) {
      const long value = tag->toLong();
      if (value >= 1 && value <= 8) orientation = static_cast<int>(value);
    }

    Exiv2::PreviewManager previews(*image);
    const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
    const Exiv2::PreviewProperties* largest = nullptr;
    for (const Exiv2::PreviewProperties& properties : list) {
      const std::uint64_t pixels = std::uint64_t{properties.width_} * properties.height_;
      if (!largest || pixels > std::uint64_t{largest->width_} * largest->height_ ||
          (pixels == std::uint64_t{largest->width_} * largest->height_ &&
           properties.size_ > largest->size_)) {
        largest = &properties;
      }
    }
    if (!largest) return std::nullopt;
    const Exiv2::PreviewImage preview = previews.getPreviewImage(*largest);
    return renderEncodedStill(preview.pData(), preview.size(), targetWidth, targetHeight,
                              orientation);
  } catch (...) {
    // Exiv2 reports a broken file by throwing; to the caller it is no image.
    return std::nullopt;
  }
}

}  // namespace

std::optional<RgbImage> renderRaw(const std::string& path, std::uint32_t targetWidth,
                                  std::uint32_t targetHeight) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return renderRaw(file.get(), path, targetWidth, targetHeight);
}

std::optional<RgbImage> renderRaw(int fd, std::string_view name, std::uint32_t targetWidth,
                                  std::uint32_t targetHeight) {
  if (auto image = renderExiv2Preview(fd, name, targetWidth, targetHeight)) return image;
  // LibRaw knows formats Exiv2 does not (CR3 keeps a full-size JPEG beside
  // its sensor data).
  const std::optional<RawPreview> preview = readRawPreview(fd);
  if (!preview) return std::nullopt;
  return renderEncodedStill(preview->jpeg.data(), preview->jpeg.size(), targetWidth, targetHeight,
                            preview->orientation);
}

}  // namespace velmora::photos

#pragma GCC diagnostic pop
