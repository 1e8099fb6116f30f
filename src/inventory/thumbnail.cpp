#include "inventory/thumbnail.h"

#include <fcntl.h>
#include <unistd.h>
#include <vips/vips.h>

#include <atomic>
#include <cerrno>

#include "base/vips.h"
#include "base/write_all.h"
#include "inventory/metrics.h"
#include "qr/detector.h"

namespace velmora::inventory {

namespace {

constexpr int jpegQuality = 80;

bool usable(const photos::RgbImage& bitmap) {
  return bitmap.width > 0 && bitmap.height > 0 &&
         bitmap.pixels.size() == std::size_t{bitmap.width} * bitmap.height * 3;
}


}  // namespace

std::optional<std::string> encodeJpeg(const photos::RgbImage& bitmap, int quality) {
  if (!usable(bitmap) || !base::ensureVips()) return std::nullopt;
  VipsImage* image = vips_image_new_from_memory(
      bitmap.pixels.data(), bitmap.pixels.size(), static_cast<int>(bitmap.width),
      static_cast<int>(bitmap.height), 3, VIPS_FORMAT_UCHAR);
  if (!image) {
    vips_error_clear();
    return std::nullopt;
  }
  void* buffer = nullptr;
  std::size_t length = 0;
  const int status = vips_jpegsave_buffer(image, &buffer, &length, "Q", quality, nullptr);
  g_object_unref(image);
  if (status != 0 || !buffer) {
    vips_error_clear();
    g_free(buffer);
    return std::nullopt;
  }
  std::string bytes(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return bytes;
}

bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::optional<base::FileIdentity>* written) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  std::filesystem::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    // Hidden, and unique to this process, so that nothing mistakes it for a
    // preview and no other writer shares it.
    std::string name = ".";
    name.append(path.filename().string())
        .append(".")
        .append(std::to_string(::getpid()))
        .append(".")
        .append(std::to_string(counter++))
        .append(".tmp");
    temporary = folder / name;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  const bool whole = base::writeAll(fd, bytes);
  struct stat own {};
  const bool known = ::fstat(fd, &own) == 0;
  const bool closed = ::close(fd) == 0;
  if (!whole || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (written != nullptr) {
    // Taken after the rename (which moves the change time), and only when
    // the name still leads to the file this call wrote.
    struct stat there {};
    written->reset();
    if (known && ::lstat(path.c_str(), &there) == 0 && there.st_dev == own.st_dev &&
        there.st_ino == own.st_ino) {
      *written = base::identityOf(there);
    }
  }
  return true;
}

std::optional<base::FileIdentity> placePreview(const std::filesystem::path& path,
                                               const std::optional<std::string>& jpeg) {
  std::optional<base::FileIdentity> written;
  if (!path.empty() && jpeg) writeFileAtomically(path, *jpeg, &written);
  return written;
}

bridge::Json thumbnail(photos::PhotoLibrary& library, const photos::Asset& asset,
                       const std::filesystem::path& path, std::optional<std::string>* jpeg,
                       std::optional<base::FileIdentity>* written) {
  bridge::Json metrics = bridge::Json::object();
  std::optional<photos::RgbImage> bitmap = library.requestImage(asset, previewSide, previewSide);
  if (written != nullptr) written->reset();
  if (!bitmap || !usable(*bitmap)) return metrics;

  // The file comes first; whether it could be written does not change the
  // measurements.
  if (!path.empty() || jpeg != nullptr) {
    std::optional<std::string> encoded = encodeJpeg(*bitmap, jpegQuality);
    std::optional<base::FileIdentity> placed = placePreview(path, encoded);
    if (written != nullptr) *written = placed;
    if (jpeg != nullptr) *jpeg = std::move(encoded);
  }

  const LumaGrid grid = lumaGrid(*bitmap);
  const std::uint64_t hash = differenceHash(grid);
  const double variance = lumaVariance(grid);
  const double sharpness = lumaSharpness(grid);

  qr::LumaImage luma = qr::lumaFromRgb(bitmap->width, bitmap->height, bitmap->pixels);
  bitmap.reset();  // only the luminance copy is needed from here on
  // This asset's own answer: other threads may be detecting at the same time.
  const qr::QrResult qr = qr::detectQR(&luma);

  metrics["qr"] = qr.found;
  metrics["qr_checked"] = qr.checked;
  metrics["dhash_string"] = dhashString(hash);
  metrics["sharpness"] = sharpness;
  metrics["variance"] = variance;
  return metrics;
}

}  // namespace velmora::inventory
