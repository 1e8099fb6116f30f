#include <algorithm>
#include <cmath>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "base/deadline.h"
#include "base/regular_file.h"
#include "bridge/photos/media/capture_date.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/media/video_input.h"

namespace velmora::photos {

namespace {

const char* metadataValue(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
  return entry != nullptr ? entry->value : nullptr;
}

std::optional<double> creationDate(const AVFormatContext& context, const AVStream* video) {
  // Apple's key carries the local offset; creation_time is plain UTC.
  for (const char* key : {"com.apple.quicktime.creationdate", "creation_time"}) {
    if (const char* value = metadataValue(context.metadata, key)) {
      if (auto date = containerDateTime(value)) return date;
    }
  }
  if (video != nullptr) {
    if (const char* value = metadataValue(video->metadata, "creation_time")) {
      return containerDateTime(value);
    }
  }
  return std::nullopt;
}

bool quarterTurn(const AVStream& stream) {
  std::size_t size = 0;
  const std::uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(std::int32_t)) return false;
  const double degrees = av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
  if (!std::isfinite(degrees)) return false;
  const long turns = std::lround(degrees / 90.0);
  return turns % 2 != 0;
}

}  // namespace

std::optional<VideoMetadata> readVideoMetadata(const std::string& path) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return readVideoMetadata(file.get(), path);
}

std::optional<VideoMetadata> readVideoMetadata(int fd, const std::string& name) {
  base::Deadline deadline;
  const VideoInput context = openVideoInput(fd, name, deadline);
  if (!context) return std::nullopt;

  int index = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVStream* found = index >= 0 ? context->streams[index] : nullptr;
  if (found != nullptr &&
      (found->codecpar->width <= 0 || found->codecpar->sample_aspect_ratio.num <= 0)) {
    // Transport streams only know their picture size after a look at the
    // packets; MP4, QuickTime and Matroska have it in the header. The
    // pixel aspect an H.263, MPEG-4 or H.264 bitstream carries is known
    // only once the first pictures are decoded.
    context->probesize = 8 << 20;
    if (avformat_find_stream_info(context.get(), nullptr) >= 0) {
      index = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
  }
  // A file still being probed at the deadline is one that cannot be read.
  if (deadline.passed()) return std::nullopt;
  const AVStream* video = index >= 0 ? context->streams[index] : nullptr;
  VideoMetadata metadata;
  if (video != nullptr && video->codecpar->width > 0 && video->codecpar->height > 0) {
    // As the preview shows it: non-square pixels stretch the width.
    const double aspect =
        pixelAspect(video->codecpar->sample_aspect_ratio, video->sample_aspect_ratio);
    metadata.width =
        static_cast<std::uint64_t>(std::max(1.0, std::round(video->codecpar->width * aspect)));
    metadata.height = static_cast<std::uint64_t>(video->codecpar->height);
    if (quarterTurn(*video)) std::swap(metadata.width, metadata.height);
  }
  metadata.creationDate = creationDate(*context, video);
  return metadata;
}

}  // namespace velmora::photos
