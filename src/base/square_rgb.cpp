#include "base/square_rgb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vips/vips8>

#include "base/vips.h"

namespace velmora::base {

namespace {

// The whole file, read through the descriptor from its start.
bool readWhole(int fd, std::uintmax_t limit, std::string& out) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::uintmax_t>(status.st_size) > limit) {
    return false;
  }
  out.reserve(static_cast<std::size_t>(status.st_size));
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
    at += got;
    // The file may have grown since it was checked.
    if (out.size() > limit) return false;
  }
}

}  // namespace

std::vector<std::uint8_t> squareRgb(int fd, int side, std::uintmax_t maxBytes,
                                    const Deadline& deadline, SquareFailure& failure) {
  failure = SquareFailure::none;
  if (!ensureVips()) {
    failure = SquareFailure::noLibrary;
    return {};
  }
  std::string bytes;
  if (!readWhole(fd, maxBytes, bytes) || bytes.empty()) {
    failure = SquareFailure::unreadable;
    return {};
  }
  VipsBlob* blob = vips_blob_new(nullptr, bytes.data(), bytes.size());
  try {
    // The header alone first: a file that claims an absurd size is refused
    // before anything is decoded.
    vips::VImage header = vips::VImage::new_from_buffer(
        bytes.data(), bytes.size(), "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    if (!withinPixelLimit(static_cast<std::uint64_t>(header.width()),
                          static_cast<std::uint64_t>(header.height()))) {
      vips_area_unref(VIPS_AREA(blob));
      failure = SquareFailure::tooLarge;
      return {};
    }
    vips::VImage image = vips::VImage::thumbnail_buffer(
        blob, side, vips::VImage::option()->set("height", side)->set("fail_on", VIPS_FAIL_ON_ERROR));
    if (image.interpretation() != VIPS_INTERPRETATION_sRGB) {
      image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    }
    if (image.has_alpha()) {
      image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{0, 0, 0}));
    }
    if (image.bands() > 3) image = image.extract_band(0, vips::VImage::option()->set("n", 3));
    if (image.bands() == 1) image = image.bandjoin({image, image});
    image = image.cast(VIPS_FORMAT_UCHAR);
    image = image.embed((side - image.width()) / 2, (side - image.height()) / 2, side, side,
                        vips::VImage::option()->set("extend", VIPS_EXTEND_BLACK));
    size_t size = 0;
    void* memory = nullptr;
    {
      // A picture that decodes for too long is given up like a broken one.
      const DeadlineWatch watch(image.get_image(), deadline);
      memory = image.write_to_memory(&size);
    }
    vips_area_unref(VIPS_AREA(blob));
    std::vector<std::uint8_t> pixels(static_cast<std::uint8_t*>(memory),
                                     static_cast<std::uint8_t*>(memory) + size);
    g_free(memory);
    if (pixels.size() != static_cast<size_t>(side) * side * 3) {
      failure = SquareFailure::undecodable;
      return {};
    }
    return pixels;
  } catch (const std::exception&) {
    vips_area_unref(VIPS_AREA(blob));
    vips_error_clear();
    failure = SquareFailure::undecodable;
    return {};
  }
}

}  // namespace velmora::base
