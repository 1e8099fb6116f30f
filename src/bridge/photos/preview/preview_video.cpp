#include <algorithm>
#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "base/deadline.h"
#include "base/regular_file.h"
#include "bridge/photos/preview/preview_formats.h"
#include "bridge/photos/media/video_input.h"
#include "base/vips.h"

namespace velmora::photos {

namespace {

// How many packets of the video stream are tried before a file counts as
// having no decodable frame.
constexpr int maxPackets = 2000;

struct ScalerFreer {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

// The turns and mirrors a display matrix can ask for, in the terms of
// FFmpeg's own player: each maps an output pixel back to a source pixel.
enum class Turn { none, clockwise, counterClockwise, transpose, antiTranspose, half, mirror, flip };

// Follows the rules FFmpeg's command-line tool applies when it auto-rotates.
Turn turnFor(const std::int32_t* matrix) {
  if (!matrix) return Turn::none;
  double theta = -std::round(av_display_rotation_get(matrix));
  if (std::isnan(theta)) return Turn::none;
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  if (std::fabs(theta - 90) < 1.0) return matrix[3] > 0 ? Turn::transpose : Turn::clockwise;
  if (std::fabs(theta - 270) < 1.0)
    return matrix[3] < 0 ? Turn::antiTranspose : Turn::counterClockwise;
  if (std::fabs(theta - 180) < 1.0) {
    const bool mirrored = matrix[0] < 0;
    const bool flipped = matrix[4] < 0;
    if (mirrored && flipped) return Turn::half;
    if (mirrored) return Turn::mirror;
    if (flipped) return Turn::flip;
    return Turn::none;
  }
  if (std::fabs(theta) < 1.0 && matrix[4] < 0) return Turn::flip;
  return Turn::none;  // odd angles are left as they are
}

bool swapsAxes(Turn turn) {
  return turn == Turn::clockwise || turn == Turn::counterClockwise || turn == Turn::transpose ||
         turn == Turn::antiTranspose;
}

RgbImage turned(const RgbImage& source, Turn turn) {
  if (turn == Turn::none) return source;
  const std::uint32_t w = source.width;
  const std::uint32_t h = source.height;
  RgbImage out;
  out.width = swapsAxes(turn) ? h : w;
  out.height = swapsAxes(turn) ? w : h;
  out.pixels.resize(source.pixels.size());
  for (std::uint32_t y = 0; y < out.height; ++y) {
    for (std::uint32_t x = 0; x < out.width; ++x) {
      std::uint32_t sx = x;
      std::uint32_t sy = y;
      switch (turn) {
        case Turn::clockwise:
          sx = y;
          sy = h - 1 - x;
          break;
        case Turn::counterClockwise:
          sx = w - 1 - y;
          sy = x;
          break;
        case Turn::transpose:
          sx = y;
          sy = x;
          break;
        case Turn::antiTranspose:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;
        case Turn::half:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case Turn::mirror:
          sx = w - 1 - x;
          break;
        case Turn::flip:
          sy = h - 1 - y;
          break;
        case Turn::none:
          break;
      }
      const std::size_t from = (std::size_t{sy} * w + sx) * 3;
      const std::size_t to = (std::size_t{y} * out.width + x) * 3;
      out.pixels[to] = source.pixels[from];
      out.pixels[to + 1] = source.pixels[from + 1];
      out.pixels[to + 2] = source.pixels[from + 2];
    }
  }
  return out;
}

// The first frame the decoder gives for the stream, or null; null as well
// once the deadline has passed.
Frame firstFrame(AVFormatContext* format, AVCodecContext* codec,
                                                int streamIndex, const base::Deadline& deadline) {
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!packet || !frame) return nullptr;
  int packets = 0;
  int failures = 0;
  bool draining = false;
  while (true) {
    if (deadline.passed()) return nullptr;
    if (!draining) {
      if (av_read_frame(format, packet.get()) < 0) {
        draining = true;
        avcodec_send_packet(codec, nullptr);
      } else {
        const bool ours = packet->stream_index == streamIndex;
        // A packet the decoder refuses is skipped; a later one may decode.
        if (ours) avcodec_send_packet(codec, packet.get());
        av_packet_unref(packet.get());
        if (ours && ++packets > maxPackets) return nullptr;
        if (!ours) continue;
      }
    }
    const int received = avcodec_receive_frame(codec, frame.get());
    if (received == 0) return frame;
    if (received == AVERROR_EOF || (draining && received == AVERROR(EAGAIN))) return nullptr;
    // Wants more input, or could not decode this one: a later frame may do.
    if (received != AVERROR(EAGAIN) && ++failures > maxPackets) return nullptr;
  }
}

}  // namespace

std::optional<RgbImage> renderVideo(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return renderVideo(file.get(), path, targetWidth, targetHeight);
}

std::optional<RgbImage> renderVideo(int fd, const std::string& name, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight) {
  base::Deadline deadline;
  const VideoInput format = openVideoInput(fd, name, deadline);
  if (!format) return std::nullopt;
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return std::nullopt;

  const AVCodec* decoder = nullptr;
  const int streamIndex =
      av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (streamIndex < 0 || !decoder) return std::nullopt;
  AVStream* stream = format->streams[streamIndex];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->width > 0 && parameters->height > 0 &&
      !base::withinPixelLimit(static_cast<std::uint64_t>(parameters->width),
                                static_cast<std::uint64_t>(parameters->height))) {
    return std::nullopt;
  }
  Codec codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), parameters) < 0) return std::nullopt;
  // Slice threads only: frame threads would hold the first frame back.
  codec->thread_count = 0;
  codec->thread_type = FF_THREAD_SLICE;
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return std::nullopt;

  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (static_cast<int>(i) != streamIndex) format->streams[i]->discard = AVDISCARD_ALL;
  }
  const auto frame = firstFrame(format.get(), codec.get(), streamIndex, deadline);
  if (!frame || frame->width <= 0 || frame->height <= 0 ||
      !base::withinPixelLimit(static_cast<std::uint64_t>(frame->width),
                                static_cast<std::uint64_t>(frame->height))) {
    return std::nullopt;
  }

  const auto* matrix = reinterpret_cast<const std::int32_t*>(
      av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  const Turn turn = turnFor(matrix);

  // Pixels that are not square are stretched to their display width.
  const double displayWidth =
      frame->width * pixelAspect(frame->sample_aspect_ratio, stream->sample_aspect_ratio);
  const double displayHeight = frame->height;
  const bool swap = swapsAxes(turn);
  const FittedSize fitted = fitInto(swap ? displayHeight : displayWidth,
                                    swap ? displayWidth : displayHeight, targetWidth, targetHeight);
  if (fitted.width == 0) return std::nullopt;
  const int scaledWidth = static_cast<int>(swap ? fitted.height : fitted.width);
  const int scaledHeight = static_cast<int>(swap ? fitted.width : fitted.height);

  std::unique_ptr<SwsContext, ScalerFreer> scaler(sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), scaledWidth,
      scaledHeight, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) return std::nullopt;
  int space = frame->colorspace;
  if (space == AVCOL_SPC_UNSPECIFIED) space = frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  const int fullRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
  sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(space), fullRange,
                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);

  // Aligned rows with room to spare, as the scaler's vector code likes them.
  const int stride = (scaledWidth * 3 + 63) & ~63;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(stride) * (scaledHeight + 1) + 64);
  std::uint8_t* planes[4] = {buffer.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {stride, 0, 0, 0};
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) !=
      scaledHeight) {
    return std::nullopt;
  }
  RgbImage image;
  image.width = static_cast<std::uint32_t>(scaledWidth);
  image.height = static_cast<std::uint32_t>(scaledHeight);
  image.pixels.resize(std::size_t{image.width} * image.height * 3);
  for (int row = 0; row < scaledHeight; ++row) {
    std::copy_n(buffer.data() + static_cast<std::size_t>(row) * stride, scaledWidth * 3,
                image.pixels.data() + static_cast<std::size_t>(row) * scaledWidth * 3);
  }
  return turned(image, turn);
}

}  // namespace velmora::photos
