#include "base/vips.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include <mutex>

#include <vips/vips.h>

#include "base/vips_ref.h"

namespace velmora::base {

bool ensureVips() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    if (VIPS_INIT("velmora-bridge") != 0) return;
    vips_block_untrusted_set(TRUE);
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
    started = true;
  });
  return started;
}

bool startsLikeDecodableImage(int fd) {
  unsigned char head[16] = {};
  ssize_t got = 0;
  do {
    got = ::pread(fd, head, sizeof head, 0);
  } while (got < 0 && errno == EINTR);
  if (got < static_cast<ssize_t>(sizeof head)) return false;
  const auto starts = [&](std::string_view magic, std::size_t at = 0) {
    return std::memcmp(head + at, magic.data(), magic.size()) == 0;
  };
  return starts("\xFF\xD8\xFF") ||                                 // JPEG
         starts("\x89PNG\r\n\x1A\n") ||                           // PNG
         starts("GIF87a") || starts("GIF89a") ||                   // GIF
         (starts("RIFF") && starts("WEBP", 8)) ||                  // WebP
         starts("II*\0") || starts("MM\0*") ||                     // TIFF
         starts("II+\0") || starts("MM\0+") ||                     // BigTIFF
         starts("ftyp", 4);                                        // HEIF, AVIF
}

VipsSource* sourceFromDescriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size <= 0) return nullptr;
  if (!startsLikeDecodableImage(fd)) return nullptr;
  return vips_source_new_from_descriptor(fd);
}

namespace {

// `image` is the watched one; the evaluation that reports may be of another
// image (a loader decoding into a temporary one reports on the image it
// serves), and only killing that one stops it.
void onEval(VipsImage* image, VipsProgress* progress, void* data) {
  if (!static_cast<const Deadline*>(data)->passed()) return;
  vips_image_set_kill(image, TRUE);
  if (progress != nullptr && progress->im != nullptr) vips_image_set_kill(progress->im, TRUE);
}

}  // namespace

DeadlineWatch::DeadlineWatch(VipsImage* image, const Deadline& deadline) : image_(image) {
  if (!image_) return;
  g_object_ref(image_);
  vips_image_set_progress(image_, TRUE);
  handler_ = g_signal_connect(image_, "eval", G_CALLBACK(onEval), const_cast<Deadline*>(&deadline));
}

DeadlineWatch::~DeadlineWatch() {
  if (!image_) return;
  if (handler_ != 0) g_signal_handler_disconnect(image_, handler_);
  g_object_unref(image_);
}

}  // namespace velmora::base
