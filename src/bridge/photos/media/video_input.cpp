#include "bridge/photos/media/video_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "base/regular_file.h"
#include "bridge/photos/media/file_kind.h"

namespace velmora::photos {

namespace {

// The size FFmpeg's own file protocol reads in.
constexpr int bufferSize = 32768;

int pastDeadline(void* deadline) {
  return static_cast<const base::Deadline*>(deadline)->passed() ? 1 : 0;
}

// What our I/O context reads from.
struct Source {
  int fd;
  const base::Deadline* deadline;
};

int descriptorOf(void* opaque) { return static_cast<const Source*>(opaque)->fd; }

// Reads give up at the deadline too, as those of FFmpeg's own file
// protocol do through the interrupt callback.
int readPacket(void* opaque, std::uint8_t* buffer, int size) {
  const auto* source = static_cast<const Source*>(opaque);
  while (true) {
    if (source->deadline->passed()) return AVERROR_EXIT;
    const ssize_t got = ::read(source->fd, buffer, static_cast<std::size_t>(size));
    if (got > 0) return static_cast<int>(got);
    if (got == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
  const int fd = descriptorOf(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : AVERROR(errno);
  }
  const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// Frees our I/O context and closes its descriptor; FFmpeg leaves both to
// whoever made them.
void freeIo(AVIOContext* io) {
  if (io == nullptr) return;
  auto* source = static_cast<Source*>(io->opaque);
  av_freep(&io->buffer);
  avio_context_free(&io);
  ::close(source->fd);
  delete source;
}

}  // namespace

void quietFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

void VideoInputCloser::operator()(AVFormatContext* context) const {
  AVIOContext* io = context->pb;
  avformat_close_input(&context);
  freeIo(io);
}

void CodecFreer::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void PacketFreer::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void FrameFreer::operator()(AVFrame* frame) const { av_frame_free(&frame); }

namespace {

const char* demuxersNamed(std::string_view path) {
  const std::string type = uniformTypeIdentifier(path);
  if (type == "public.avi") return "avi";
  if (type == "org.matroska.mkv" || type == "org.webmproject.webm") return "matroska";
  if (type == "public.avchd-mpeg-2-transport-stream") return "mpegts";
  // QuickTime, MP4, M4V, 3GP, and the still formats' own names (a live
  // photo's video is named by its kind, not by an extension).
  if (type.empty() || type == "com.apple.quicktime-movie" || type == "public.mpeg-4" ||
      type == "com.apple.m4v-video" || type == "public.3gpp") {
    return type.empty() ? "mov,avi,matroska,mpegts" : "mov";
  }
  return "mov,avi,matroska,mpegts";
}

}  // namespace

VideoInput openVideoInput(const std::string& path, base::Deadline& deadline) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return nullptr;
  return openVideoInput(file.get(), path, deadline);
}

VideoInput openVideoInput(int checked, const std::string& path, base::Deadline& deadline) {
  quietFfmpeg();
  // The input owns a copy of its own, reading at offsets (never a path).
  const int fd = ::fcntl(checked, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto* source = new Source{fd, &deadline};
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(bufferSize));
  AVIOContext* io = buffer == nullptr ? nullptr
                                      : avio_alloc_context(buffer, bufferSize, 0, source,
                                                           readPacket, nullptr, seekTo);
  AVFormatContext* context = io == nullptr ? nullptr : avformat_alloc_context();
  if (context == nullptr) {
    if (io != nullptr) {
      freeIo(io);
    } else {
      av_free(buffer);
      ::close(fd);
      delete source;
    }
    return nullptr;
  }
  context->pb = io;
  context->interrupt_callback.callback = pastDeadline;
  context->interrupt_callback.opaque = &deadline;
  AVDictionary* options = nullptr;
  // Local files only: a container must not pull in other files or URLs.
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  // Only the demuxer of the container the name says: FFmpeg would
  // otherwise pick any of its hundreds by the contents.
  av_dict_set(&options, "format_whitelist", demuxersNamed(path), 0);
  // The name still helps to tell formats apart by extension. The file:
  // prefix keeps a name such as "concat:x" from naming a protocol.
  const std::string url = "file:" + path;
  const int status = avformat_open_input(&context, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (status < 0) {
    freeIo(io);  // the context is gone already
    return nullptr;
  }
  return VideoInput(context);
}

double pixelAspect(const AVRational& decoded, const AVRational& container) {
  const AVRational& aspect = decoded.num > 0 && decoded.den > 0 ? decoded : container;
  if (aspect.num <= 0 || aspect.den <= 0) return 1;
  const double ratio = av_q2d(aspect);
  return ratio >= 0.125 && ratio <= 8 ? ratio : 1;
}

}  // namespace velmora::photos
