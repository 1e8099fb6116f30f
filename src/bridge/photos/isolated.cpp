#include "bridge/photos/isolated.h"

#include <malloc.h>
#include <unistd.h>

#include <glib.h>
#include <iconv.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>
#include <cstring>
#include <ctime>
#include <string_view>
#include <type_traits>

#include "base/deadline.h"
#include "base/heap_reuse.h"
#include "base/luma_file.h"
#include "base/regular_file.h"
#include "base/square_rgb.h"
#include "base/sandbox.h"
#include "base/vips.h"
#include "base/worker_process.h"
#include "bridge/photos/media/exiv2_setup.h"
#include "bridge/photos/media/media_metadata.h"

namespace velmora::photos {

namespace {

// Requests and answers, written field by field in this machine's layout
// (both ends are the same executable).
enum class Request : std::uint8_t { imageMetadata = 1, sidecar, videoMetadata, preview, luma, squareRgb };

class Writer {
 public:
  template <typename T>
    requires std::is_trivially_copyable_v<T>
  Writer& put(const T& value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
  }
  Writer& put(std::string_view text) {
    put(static_cast<std::uint64_t>(text.size()));
    bytes_.append(text);
    return *this;
  }
  template <typename T>
  Writer& put(const std::optional<T>& value) {
    put(value.has_value());
    if (value) put(*value);
    return *this;
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Reads what a Writer wrote; any shortfall or excess makes it fail, and a
// failed reader gives zeros.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}
  template <typename T>
    requires std::is_trivially_copyable_v<T>
  T get() {
    if constexpr (std::is_same_v<T, bool>) {
      // Any byte but 0 and 1 is no bool (and loading it as one would be
      // undefined): the answer is broken.
      const auto byte = get<std::uint8_t>();
      if (byte > 1) fail();
      return byte == 1;
    } else {
      T value{};
      if (rest_.size() < sizeof value) {
        fail();
        return value;
      }
      std::memcpy(&value, rest_.data(), sizeof value);
      rest_.remove_prefix(sizeof value);
      return value;
    }
  }
  std::string text() {
    const auto size = get<std::uint64_t>();
    if (size > rest_.size()) {
      fail();
      return {};
    }
    std::string value(rest_.substr(0, size));
    rest_.remove_prefix(size);
    return value;
  }
  template <typename T>
  std::optional<T> maybe() {
    if (!get<bool>()) return std::nullopt;
    return get<T>();
  }
  bool done() const { return ok_ && rest_.empty(); }

 private:
  void fail() {
    ok_ = false;
    rest_ = {};
  }

  std::string_view rest_;
  bool ok_ = true;
};

// Above the file's own limit, which the decoders keep to by themselves: the
// bridge ends only a worker that no longer answers at all. The two seconds
// also cover a new worker's start (about 0.1 s).
base::Clock::duration hardLimit(base::Clock::duration limit) {
  return limit + std::chrono::seconds(2);
}

std::atomic<bool> readsInWorkers{true};

std::string answer(std::string_view request, int fd);

base::WorkerPool& workers() {
  static base::WorkerPool pool(photoWorkerRole);
  return pool;
}

// Sends one request about the regular file `path`; the answer's bytes, or
// none when the file cannot be opened (`opened` false) or the worker failed.
std::optional<std::string> ask(Request kind, const std::string& path, Writer& parameters,
                               bool& opened) {
  const base::UniqueFd file(base::openRegularFile(path));
  opened = file.valid();
  if (!opened) return std::nullopt;
  const base::Clock::duration limit = base::fileTimeLimit();
  Writer request;
  request.put(kind)
      .put(std::chrono::duration_cast<std::chrono::microseconds>(limit).count())
      .put(std::string_view(path));
  const std::string whole = request.take() + parameters.take();
  if (!readsInWorkers.load()) return answer(whole, file.get());
  return workers().ask(whole, file.get(), hardLimit(limit));
}

template <typename T, typename Decode>
IsolatedRead<T> read(Request kind, const std::string& path, Writer parameters, Decode decode) {
  bool opened = false;
  const std::optional<std::string> answer = ask(kind, path, parameters, opened);
  if (!opened) return {};
  if (!answer) return {std::nullopt, true};
  Reader reader(*answer);
  if (!reader.get<bool>()) return reader.done() ? IsolatedRead<T>{} : IsolatedRead<T>{{}, true};
  T value = decode(reader);
  if (!reader.done()) return {std::nullopt, true};
  return {std::move(value), false};
}

// The worker's side of each request.
std::string answer(std::string_view request, int fd) {
  Reader reader(request);
  const auto kind = reader.get<Request>();
  const auto limit = std::chrono::microseconds(reader.get<std::int64_t>());
  const std::string name = reader.text();
  base::setFileTimeLimit(limit);
  Writer out;
  switch (kind) {
    case Request::imageMetadata:
      if (!reader.done()) break;
      if (const auto metadata = readImageMetadata(fd, name)) {
        out.put(true).put(metadata->width).put(metadata->height).put(metadata->captureDate);
        out.put(metadata->captureWallClock).put(metadata->rating);
        out.put(metadata->ratingUnknown).put(metadata->screenshotMarker);
        return out.take();
      }
      break;
    case Request::sidecar:
      if (!reader.done()) break;
      if (const auto sidecar = readSidecar(fd)) {
        return out.put(true).put(sidecar->rating).put(sidecar->captureDate)
            .put(sidecar->captureWallClock).put(sidecar->unreadable).take();
      }
      break;
    case Request::videoMetadata:
      if (!reader.done()) break;
      if (const auto video = readVideoMetadata(fd, name)) {
        return out.put(true).put(video->width).put(video->height).put(video->creationDate).take();
      }
      break;
    case Request::preview: {
      const auto road = reader.get<PreviewRoad>();
      const auto width = reader.get<std::uint32_t>();
      const auto height = reader.get<std::uint32_t>();
      if (!reader.done()) break;
      if (auto image = renderPreviewOf(fd, name, road, width, height)) {
        out.put(true).put(image->width).put(image->height);
        out.put(std::string_view(reinterpret_cast<const char*>(image->pixels.data()),
                                 image->pixels.size()));
        return out.take();
      }
      break;
    }
    case Request::luma:
      if (!reader.done()) break;
      if (auto image = base::decodeLumaFile(fd, base::Deadline())) {
        out.put(true).put(image->width).put(image->height);
        out.put(std::string_view(reinterpret_cast<const char*>(image->pixels.data()),
                                 image->pixels.size()));
        return out.take();
      }
      break;
    case Request::squareRgb: {
      const auto side = reader.get<std::int32_t>();
      const auto maxBytes = reader.get<std::uint64_t>();
      if (!reader.done() || side <= 0 || side > 8192) break;
      base::SquareFailure failure = base::SquareFailure::none;
      const std::vector<std::uint8_t> pixels =
          base::squareRgb(fd, side, maxBytes, base::Deadline(), failure);
      out.put(true).put(failure);
      out.put(std::string_view(reinterpret_cast<const char*>(pixels.data()), pixels.size()));
      return out.take();
    }
  }
  return out.put(false).take();
}

void dropLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
GLogWriterOutput dropRecord(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

// What the libraries would otherwise load or read from files the first time
// they need it, done while paths may still be opened.
void startLibraries() {
  g_log_set_writer_func(dropRecord, nullptr, nullptr);
  g_log_set_default_handler(dropLog, nullptr);
  base::ensureVips();
  startExiv2();
  // The time zone (capture dates without an offset).
  ::tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  // Exiv2 converts comments between character sets through iconv, which
  // loads its converters from files; these stay loaded.
  for (const char* from : {"UCS-2LE", "UCS-2BE", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "ASCII"}) {
    for (const char* to : {"UTF-8", "UCS-2LE", "UCS-2BE"}) {
      static_cast<void>(::iconv_open(to, from));
    }
  }
  // One malloc arena: the worker reads one file at a time, and every
  // further arena would keep free memory of its own (and reserve address
  // space, which the worker's limit counts). Freed buffers stay for the
  // next file instead of coming back as fresh pages.
  ::mallopt(M_ARENA_MAX, 1);
  base::keepFreedMemory();
  // The first time a thread's heap shrinks, malloc reads
  // /proc/sys/vm/overcommit_memory: let that happen now, on a thread of
  // its own (blocks below the mmap threshold, freed together).
  std::thread([] {
    std::vector<void*> blocks;
    for (int i = 0; i < 16; ++i) blocks.push_back(std::malloc(120 * 1024));
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(*it);
  }).join();
}

}  // namespace

IsolatedRead<ImageMetadata> isolatedImageMetadata(const std::string& path) {
  return read<ImageMetadata>(Request::imageMetadata, path, Writer(), [](Reader& in) {
    ImageMetadata metadata;
    metadata.width = in.get<std::uint64_t>();
    metadata.height = in.get<std::uint64_t>();
    metadata.captureDate = in.maybe<double>();
    metadata.captureWallClock = in.maybe<WallClock>();
    metadata.rating = in.maybe<double>();
    metadata.ratingUnknown = in.get<bool>();
    metadata.screenshotMarker = in.get<bool>();
    return metadata;
  });
}

IsolatedRead<SidecarMetadata> isolatedSidecar(const std::string& path) {
  return read<SidecarMetadata>(Request::sidecar, path, Writer(), [](Reader& in) {
    SidecarMetadata sidecar;
    sidecar.rating = in.maybe<double>();
    sidecar.captureDate = in.maybe<double>();
    sidecar.captureWallClock = in.maybe<WallClock>();
    sidecar.unreadable = in.get<bool>();
    return sidecar;
  });
}

IsolatedRead<VideoMetadata> isolatedVideoMetadata(const std::string& path) {
  return read<VideoMetadata>(Request::videoMetadata, path, Writer(), [](Reader& in) {
    VideoMetadata video;
    video.width = in.get<std::uint64_t>();
    video.height = in.get<std::uint64_t>();
    video.creationDate = in.maybe<double>();
    return video;
  });
}

IsolatedRead<RgbImage> isolatedPreview(const std::string& path, PreviewRoad road,
                                       std::uint32_t targetWidth, std::uint32_t targetHeight) {
  Writer parameters;
  parameters.put(road).put(targetWidth).put(targetHeight);
  IsolatedRead<RgbImage> preview =
      read<RgbImage>(Request::preview, path, std::move(parameters), [](Reader& in) {
        RgbImage image;
        image.width = in.get<std::uint32_t>();
        image.height = in.get<std::uint32_t>();
        const std::string pixels = in.text();
        image.pixels.assign(pixels.begin(), pixels.end());
        return image;
      });
  // Only what the request allows, with every pixel there.
  if (preview.value && (preview.value->width > targetWidth ||
                        preview.value->height > targetHeight ||
                        preview.value->pixels.size() !=
                            std::size_t{preview.value->width} * preview.value->height * 3)) {
    return {std::nullopt, true};
  }
  return preview;
}

IsolatedRead<base::LumaPixels> isolatedLuma(const std::string& path) {
  IsolatedRead<base::LumaPixels> luma =
      read<base::LumaPixels>(Request::luma, path, Writer(), [](Reader& in) {
        base::LumaPixels image;
        image.width = in.get<std::uint32_t>();
        image.height = in.get<std::uint32_t>();
        const std::string pixels = in.text();
        image.pixels.assign(pixels.begin(), pixels.end());
        return image;
      });
  if (luma.value && luma.value->pixels.size() !=
                        std::size_t{luma.value->width} * luma.value->height) {
    return {std::nullopt, true};
  }
  return luma;
}

IsolatedRead<SquareRgb> isolatedSquareRgb(const std::string& path, int side,
                                          std::uintmax_t maxBytes) {
  Writer parameters;
  parameters.put(static_cast<std::int32_t>(side)).put(static_cast<std::uint64_t>(maxBytes));
  IsolatedRead<SquareRgb> square =
      read<SquareRgb>(Request::squareRgb, path, std::move(parameters), [](Reader& in) {
        SquareRgb result;
        result.failure = in.get<base::SquareFailure>();
        const std::string pixels = in.text();
        result.pixels.assign(pixels.begin(), pixels.end());
        return result;
      });
  // Pixels exactly when there is no failure, and all of them.
  if (square.value &&
      (square.value->failure > base::SquareFailure::undecodable ||
       (square.value->failure == base::SquareFailure::none) !=
           (square.value->pixels.size() == std::size_t(side) * std::size_t(side) * 3) ||
       (square.value->failure != base::SquareFailure::none && !square.value->pixels.empty()))) {
    return {std::nullopt, true};
  }
  return square;
}

void setReadsInWorkers(bool inWorkers) { readsInWorkers.store(inWorkers); }

int runPhotoWorker() {
  // Nothing but the channel and the standard descriptors (/dev/null).
  ::close_range(base::workerChannelFd + 1, ~0U, 0);
  startLibraries();
  if (!base::enterSandbox()) return 1;
  return base::serveRequests(answer, [] { base::releaseSpareMemory(); });
}

}  // namespace velmora::photos
