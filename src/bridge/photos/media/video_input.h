#pragma once
// Opening a video container for FFmpeg's demuxers. FFmpeg would open the
// file by name, after our check, and a FIFO put in its place meanwhile
// would keep it waiting for ever; so it reads from the descriptor that
// openRegularFile checked, through an I/O context of our own.
#include <memory>
#include <string>

#include "base/deadline.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVRational;

namespace velmora::photos {

// FFmpeg's libraries log nothing from here on; every code that uses them
// calls this first. Safe from any thread.
void quietFfmpeg();

struct VideoInputCloser {
  void operator()(AVFormatContext* context) const;
};
using VideoInput = std::unique_ptr<AVFormatContext, VideoInputCloser>;

// Owners of a decoder, a packet and a frame, which free them when they go.
struct CodecFreer {
  void operator()(AVCodecContext* context) const;
};
struct PacketFreer {
  void operator()(AVPacket* packet) const;
};
struct FrameFreer {
  void operator()(AVFrame* frame) const;
};
using Codec = std::unique_ptr<AVCodecContext, CodecFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;

// The container of the regular file `path`, its header read. FFmpeg asks
// `deadline` whenever it waits for input or probes and gives up once it has
// passed; the deadline must outlive the input. Only the file itself is
// read: nothing a container names (other files, URLs) is opened. Null when
// the file cannot be opened or holds no container FFmpeg knows.
VideoInput openVideoInput(const std::string& path, base::Deadline& deadline);
// The same of the regular file open on `fd` (the input reads a copy of the
// descriptor; `fd` stays the caller's), `path` being only its name.
VideoInput openVideoInput(int fd, const std::string& path, base::Deadline& deadline);

// How many times wider than tall one pixel is shown: the decoder's sample
// aspect ratio (the one the bitstream carries) where it has one, else the
// container's. 1 for square or unknown pixels, and for anything beyond
// 1:8 or 8:1, which no video is made with. The record's size and the
// preview both follow it, so that they agree.
double pixelAspect(const AVRational& decoded, const AVRational& container);

}  // namespace velmora::photos
