#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "base/deadline.h"
#include "bridge/photos/preview/preview_formats.h"
#include "base/png_chunks.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "base/vips_ref.h"

namespace velmora::photos {

namespace {

using ImageRef = base::VipsRef<VipsImage>;

std::optional<RgbImage> failed() {
  vips_error_clear();
  return std::nullopt;
}

// Whatever the thumbnailer produced (grey, 16-bit, CMYK without a profile,
// alpha) becomes three 8-bit sRGB bands. Transparent areas are flattened on
// black, which is what a premultiplied bitmap shows for them. The pixels
// are computed only here, at the end, so that is where the deadline stops
// a decoder that runs away.
std::optional<RgbImage> toRgb(ImageRef& image, const base::Deadline& deadline) {
  const VipsInterpretation interpretation = vips_image_guess_interpretation(image.get());
  if (interpretation != VIPS_INTERPRETATION_sRGB ||
      vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    ImageRef next;
    if (vips_colourspace(image.get(), next.out(), VIPS_INTERPRETATION_sRGB, nullptr) == 0) {
      image.take(next);
    } else {
      vips_error_clear();  // an odd interpretation: the bands are used as they are
    }
  }
  if (vips_image_hasalpha(image.get())) {
    ImageRef next;
    if (vips_flatten(image.get(), next.out(), nullptr) != 0) return failed();
    image.take(next);
  }
  if (vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    ImageRef next;
    if (vips_cast_uchar(image.get(), next.out(), nullptr) != 0) return failed();
    image.take(next);
  }
  const int bands = vips_image_get_bands(image.get());
  if (bands < 3) {
    ImageRef first;
    if (vips_extract_band(image.get(), first.out(), 0, nullptr) != 0) return failed();
    ImageRef grey;
    VipsImage* three[] = {first.get(), first.get(), first.get()};
    if (vips_bandjoin(three, grey.out(), 3, nullptr) != 0) return failed();
    image.take(grey);
  } else if (bands > 3) {
    ImageRef next;
    if (vips_extract_band(image.get(), next.out(), 0, "n", 3, nullptr) != 0) return failed();
    image.take(next);
  }

  const int width = vips_image_get_width(image.get());
  const int height = vips_image_get_height(image.get());
  if (width <= 0 || height <= 0) return failed();
  std::size_t length = 0;
  void* memory = nullptr;
  {
    const base::DeadlineWatch watch(image.get(), deadline);
    memory = vips_image_write_to_memory(image.get(), &length);
  }
  if (!memory) return failed();
  RgbImage rgb;
  rgb.width = static_cast<std::uint32_t>(width);
  rgb.height = static_cast<std::uint32_t>(height);
  const std::size_t expected = std::size_t{rgb.width} * rgb.height * 3;
  if (length == expected) {
    const auto* bytes = static_cast<const std::uint8_t*>(memory);
    rgb.pixels.assign(bytes, bytes + length);
  }
  g_free(memory);
  if (rgb.pixels.size() != expected) return failed();
  return rgb;
}

bool swapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace

std::optional<RgbImage> renderStill(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight, const base::Deadline& deadline) {
  // Decoded from the descriptor that was checked, never from the name: the
  // name may lead to a FIFO by now, and libvips would read options out of a
  // name that ends in square brackets.
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return renderStill(file.get(), targetWidth, targetHeight, deadline);
}

std::optional<RgbImage> renderStill(int fd, std::uint32_t targetWidth, std::uint32_t targetHeight,
                                    const base::Deadline& deadline) {
  if (!base::ensureVips()) return std::nullopt;
  base::VipsRef<VipsSource> source;
  if (base::pngChunksFitDescriptor(fd)) *source.out() = base::sourceFromDescriptor(fd);
  if (!source) return failed();
  {
    // The header alone, to refuse absurd sizes before anything is decoded.
    ImageRef header(vips_image_new_from_source(source.get(), "", nullptr));
    if (!header.get()) return failed();
    if (!base::withinPixelLimit(
            static_cast<std::uint64_t>(vips_image_get_width(header.get())),
            static_cast<std::uint64_t>(vips_image_get_height(header.get())))) {
      return failed();
    }
  }
  ImageRef thumbnail;
  if (vips_thumbnail_source(source.get(), thumbnail.out(), static_cast<int>(targetWidth), "height",
                            static_cast<int>(targetHeight), "size", VIPS_SIZE_DOWN, nullptr) != 0) {
    return failed();
  }
  return toRgb(thumbnail, deadline);
}

FittedSize fitInto(double width, double height, std::uint32_t targetWidth,
                   std::uint32_t targetHeight) {
  if (!(width > 0) || !(height > 0) || targetWidth == 0 || targetHeight == 0) return {};
  const double scale = std::min({1.0, targetWidth / width, targetHeight / height});
  const auto side = [](double length, std::uint32_t limit) {
    const double rounded = std::max(1.0, std::round(length));
    return static_cast<std::uint32_t>(std::min(rounded, static_cast<double>(limit)));
  };
  return {side(width * scale, targetWidth), side(height * scale, targetHeight)};
}

std::optional<FittedSize> thumbnailerSize(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t targetWidth, std::uint32_t targetHeight) {
  constexpr std::uint32_t largest = VIPS_MAX_COORD;
  if (!base::ensureVips() || width == 0 || height == 0 || width > largest || height > largest ||
      targetWidth == 0 || targetHeight == 0 || targetWidth > largest || targetHeight > largest) {
    return std::nullopt;
  }
  // Asked of libvips itself, on a picture that is never computed: its
  // rounding through shrink and reduce is its own.
  ImageRef black;
  ImageRef picture;
  ImageRef thumbnail;
  if (vips_black(black.out(), static_cast<int>(width), static_cast<int>(height), "bands", 3,
                 nullptr) != 0 ||
      vips_copy(black.get(), picture.out(), "interpretation", VIPS_INTERPRETATION_sRGB,
                nullptr) != 0 ||
      vips_thumbnail_image(picture.get(), thumbnail.out(), static_cast<int>(targetWidth),
                           "height", static_cast<int>(targetHeight), "size", VIPS_SIZE_DOWN,
                           nullptr) != 0) {
    vips_error_clear();
    return std::nullopt;
  }
  return FittedSize{static_cast<std::uint32_t>(vips_image_get_width(thumbnail.get())),
                    static_cast<std::uint32_t>(vips_image_get_height(thumbnail.get()))};
}

std::optional<RgbImage> renderEncodedStill(const void* data, std::size_t size,
                                           std::uint32_t targetWidth, std::uint32_t targetHeight,
                                           std::optional<int> orientation) {
  const base::Deadline deadline;
  if (!base::ensureVips() || !data || size == 0) return std::nullopt;
  if (!base::pngChunksFit(data, size)) return failed();
  {
    ImageRef header(vips_image_new_from_buffer(data, size, "", nullptr));
    if (!header.get()) return failed();
    if (!base::withinPixelLimit(
            static_cast<std::uint64_t>(vips_image_get_width(header.get())),
            static_cast<std::uint64_t>(vips_image_get_height(header.get())))) {
      return failed();
    }
  }
  const bool ownOrientation = orientation && *orientation >= 1 && *orientation <= 8;
  // The turn comes after the fit, so the fit box turns with it.
  const bool swap = ownOrientation && swapsAxes(*orientation);
  ImageRef thumbnail;
  if (vips_thumbnail_buffer(const_cast<void*>(data), size, thumbnail.out(),
                            static_cast<int>(swap ? targetHeight : targetWidth), "height",
                            static_cast<int>(swap ? targetWidth : targetHeight), "size",
                            VIPS_SIZE_DOWN, "no_rotate", ownOrientation ? TRUE : FALSE,
                            nullptr) != 0) {
    return failed();
  }
  if (ownOrientation) {
    ImageRef copy;
    if (vips_copy(thumbnail.get(), copy.out(), nullptr) != 0) return failed();
    vips_image_set_int(copy.get(), VIPS_META_ORIENTATION, *orientation);
    ImageRef turned;
    if (vips_autorot(copy.get(), turned.out(), nullptr) != 0) return failed();
    thumbnail.take(turned);
  }
  return toRgb(thumbnail, deadline);
}

}  // namespace velmora::photos
