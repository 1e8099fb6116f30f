#pragma once
// The library's reads of untrusted files, each done in a worker process
// (base/worker_process.h) that holds the file's descriptor and nothing
// else: its metadata (Exiv2, LibRaw, libavformat, the HEIF boxes) and its
// preview (libvips, libheif, FFmpeg, LibRaw). The bridge opens the file
// (a regular file only) and hands the descriptor over; the worker opens no
// path. A worker that crashes, hangs past the file's time limit or runs out
// of memory costs this one read: the answer is then `workerFailed`, with no
// value, as for a file that cannot be read.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/luma_file.h"
#include "base/square_rgb.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/preview.h"

namespace velmora::photos {

template <typename T>
struct IsolatedRead {
  std::optional<T> value;
  bool workerFailed = false;  // died, overran, or could not be started
};

IsolatedRead<ImageMetadata> isolatedImageMetadata(const std::string& path);
IsolatedRead<SidecarMetadata> isolatedSidecar(const std::string& path);
IsolatedRead<VideoMetadata> isolatedVideoMetadata(const std::string& path);
// `road` as previewRoad chose it for the primary file `path`.
IsolatedRead<RgbImage> isolatedPreview(const std::string& path, PreviewRoad road,
                                       std::uint32_t targetWidth, std::uint32_t targetHeight);

// An image file given to the QR actions, decoded whole into luminance
// (base/luma_file.h).
IsolatedRead<base::LumaPixels> isolatedLuma(const std::string& path);

// An image file given to `semantic`, fitted into a square of RGB
// (base/square_rgb.h); `failure` says why there are no pixels.
struct SquareRgb {
  std::vector<std::uint8_t> pixels;
  base::SquareFailure failure = base::SquareFailure::none;
};
IsolatedRead<SquareRgb> isolatedSquareRgb(const std::string& path, int side,
                                          std::uintmax_t maxBytes);

// Benchmarks only: with false, the same requests are answered in this
// process (no worker, no sandbox), to measure what the workers cost. The
// bridge never calls it.
void setReadsInWorkers(bool inWorkers);

// The role's name, and the worker's whole life: starts the libraries,
// locks itself in (base/sandbox.h) and serves requests until the bridge
// goes. The process's exit status.
inline constexpr const char* photoWorkerRole = "photos";
int runPhotoWorker();

}  // namespace velmora::photos
