#include "bridge/photos/media/raw_file.h"

#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>

#include "base/deadline.h"
#include "base/regular_file.h"
#include "bridge/photos/media/capture_date.h"

namespace velmora::photos {

namespace {

// LibRaw reads through this stream: a copy of the checked file's descriptor
// (no path is opened: this may run where opening one is forbidden), which
// gives up once the file's deadline has passed; the caller's offset is put
// back when it goes. LibRaw's parsers catch what it throws and report a
// broken file.
class DescriptorStream final : public LibRaw_abstract_datastream {
 public:
  DescriptorStream(int fd, const base::Deadline& deadline) : fd_(fd), deadline_(deadline) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    size_ = status.st_size;
    origin_ = ::lseek(fd, 0, SEEK_CUR);
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (origin_ < 0 || copy < 0 || ::lseek(copy, 0, SEEK_SET) != 0) {
      if (copy >= 0) ::close(copy);
      return;
    }
    file_ = ::fdopen(copy, "rb");
    if (file_ == nullptr) ::close(copy);
  }
  ~DescriptorStream() override {
    if (file_ == nullptr) return;
    std::fclose(file_);
    ::lseek(fd_, origin_, SEEK_SET);
  }
  DescriptorStream(const DescriptorStream&) = delete;
  DescriptorStream& operator=(const DescriptorStream&) = delete;

  int valid() override { return file_ != nullptr ? 1 : 0; }
  int read(void* buffer, size_t size, size_t count) override {
    checkDeadline();
    return static_cast<int>(std::fread(buffer, size, count, file_));
  }
  int seek(INT64 offset, int whence) override {
    checkDeadline();
    return ::fseeko(file_, static_cast<off_t>(offset), whence);
  }
  INT64 tell() override { return ::ftello(file_); }
  INT64 size() override { return size_; }
  int get_char() override {
    // Byte by byte in tight loops: the clock is read every few thousand.
    if (++bytesSinceCheck_ >= 4096) checkDeadline();
    return std::getc(file_);
  }
  char* gets(char* text, int size) override {
    checkDeadline();
    return std::fgets(text, size, file_);
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  // LibRaw's own formats ("%d", "%f") reach here, never text from a file.
  int scanf_one(const char* format, void* value) override {
    checkDeadline();
    return std::fscanf(file_, format, value);
  }
#pragma GCC diagnostic pop
  int eof() override { return std::feof(file_); }
  void* make_jas_stream() override { return nullptr; }

 private:
  void checkDeadline() {
    bytesSinceCheck_ = 0;
    if (deadline_.passed()) throw LIBRAW_EXCEPTION_CANCELLED_BY_CALLBACK;
  }

  int fd_;
  off_t origin_ = -1;
  const base::Deadline& deadline_;
  std::FILE* file_ = nullptr;
  INT64 size_ = 0;
  unsigned bytesSinceCheck_ = 0;
};

// The EXIF fields LibRaw parses but does not keep (or keeps without the
// offset), as its EXIF callback hands them over.
struct ExifFields {
  std::string original, originalOffset, originalSubSeconds;
  std::string digitized, digitizedOffset, digitizedSubSeconds;
  std::uint64_t pixelWidth = 0, pixelHeight = 0;
};

std::string asciiValue(LibRaw_abstract_datastream& stream, int length) {
  if (length <= 0) return {};
  std::string value(static_cast<std::size_t>(std::min(length, 64)), '\0');
  const int got = stream.read(value.data(), 1, value.size());
  value.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  // EXIF strings end in NUL; what follows it is not part of the value.
  const std::size_t end = value.find('\0');
  if (end != std::string::npos) value.resize(end);
  return value;
}

std::uint64_t numberValue(LibRaw_abstract_datastream& stream, int type, unsigned order) {
  const int bytes = type == 3 ? 2 : type == 4 ? 4 : 0;  // SHORT or LONG
  unsigned char raw[4] = {};
  if (bytes == 0 || stream.read(raw, 1, static_cast<size_t>(bytes)) != bytes) return 0;
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const int at = order == 0x4949 ? bytes - 1 - i : i;  // "II": little-endian
    value = (value << 8) | raw[at];
  }
  return value;
}

// Tags of the EXIF IFD come with their plain number; those of other IFDs
// and maker notes carry extra bits and are not ours.
void onExifTag(void* context, int tag, int type, int length, unsigned order, void* stream,
               INT64 /*base*/) {
  auto& fields = *static_cast<ExifFields*>(context);
  auto& input = *static_cast<LibRaw_abstract_datastream*>(stream);
  const auto keepText = [&](std::string& field) {
    if (field.empty()) field = asciiValue(input, length);
  };
  switch (tag) {
    case 0x9003:
      return keepText(fields.original);
    case 0x9004:
      return keepText(fields.digitized);
    case 0x9011:
      return keepText(fields.originalOffset);
    case 0x9012:
      return keepText(fields.digitizedOffset);
    case 0x9291:
      return keepText(fields.originalSubSeconds);
    case 0x9292:
      return keepText(fields.digitizedSubSeconds);
    case 0xa002:
      if (fields.pixelWidth == 0) fields.pixelWidth = numberValue(input, type, order);
      return;
    case 0xa003:
      if (fields.pixelHeight == 0) fields.pixelHeight = numberValue(input, type, order);
      return;
    default:
      return;
  }
}

// LibRaw with its stream: the stream must outlive the processor's use of it.
struct OpenRaw {
  std::unique_ptr<DescriptorStream> stream;
  std::unique_ptr<LibRaw> raw;
};

// LibRaw's headers read from `fd`, or nothing. Its default error handlers
// print to standard error; it gets none.
std::optional<OpenRaw> openRaw(int fd, const base::Deadline& deadline, ExifFields* exif) {
  try {
    OpenRaw opened;
    opened.stream = std::make_unique<DescriptorStream>(fd, deadline);
    if (!opened.stream->valid()) return std::nullopt;
    opened.raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                          LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    if (exif != nullptr) opened.raw->set_exifparser_handler(onExifTag, exif);
    if (opened.raw->open_datastream(opened.stream.get()) != LIBRAW_SUCCESS) return std::nullopt;
    return opened;
  } catch (...) {
    // Out of memory, or the deadline inside our own callback.
    return std::nullopt;
  }
}

// LibRaw's `flip` (bit 0 mirror, bit 1 flip, bit 2 transpose) as the EXIF
// orientation that asks for the same turn.
int exifOrientation(int flip) {
  constexpr int orientations[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? orientations[flip] : 1;
}

}  // namespace

std::optional<RawFacts> readRawFacts(int fd) {
  const base::Deadline deadline;
  ExifFields exif;
  std::optional<OpenRaw> opened = openRaw(fd, deadline, &exif);
  if (!opened) return std::nullopt;
  const libraw_data_t& data = opened->raw->imgdata;
  RawFacts facts;
  // The camera's own picture size leaves out the margins LibRaw keeps.
  if (exif.pixelWidth > 0 && exif.pixelHeight > 0) {
    facts.width = exif.pixelWidth;
    facts.height = exif.pixelHeight;
  } else {
    facts.width = data.sizes.width;
    facts.height = data.sizes.height;
  }
  if ((data.sizes.flip & 4) != 0) std::swap(facts.width, facts.height);
  facts.captureDate = exifDateTime(exif.original, exif.originalOffset, exif.originalSubSeconds,
                                   &facts.captureWallClock);
  if (!facts.captureDate) {
    facts.captureDate = exifDateTime(exif.digitized, exif.digitizedOffset, exif.digitizedSubSeconds,
                                     &facts.captureWallClock);
  }
  // LibRaw's reading of the file's time, as local time (0 when it has none):
  // the wall-clock time it read is that instant's in this zone.
  if (!facts.captureDate && data.other.timestamp > 0) {
    const std::time_t stamp = data.other.timestamp;
    std::tm fields{};
    if (::localtime_r(&stamp, &fields) != nullptr) {
      facts.captureWallClock = WallClock{::timegm(&fields), 0};
      facts.captureDate = instantOf(*facts.captureWallClock);
    } else {
      facts.captureDate = static_cast<double>(stamp);
    }
  }
  return facts;
}

std::optional<RawPreview> readRawPreview(int fd) {
  const base::Deadline deadline;
  std::optional<OpenRaw> opened = openRaw(fd, deadline, nullptr);
  if (!opened) return std::nullopt;
  LibRaw& raw = *opened->raw;
  // LibRaw finds the preview; the bytes are read here. Its own unpacking
  // checks a JPEG with libjpeg, which prints its warnings about a damaged
  // one to standard error.
  if (!raw.is_jpeg_thumb()) return std::nullopt;
  const INT64 offset = raw.get_internal_data_pointer()->internal_data.toffset;
  const INT64 length = raw.imgdata.thumbnail.tlength;
  if (offset <= 0 || length < 4 || length > opened->stream->size() - offset) return std::nullopt;
  RawPreview preview;
  preview.jpeg.resize(static_cast<std::size_t>(length));
  for (std::size_t done = 0; done < preview.jpeg.size();) {
    if (deadline.passed()) return std::nullopt;
    const ssize_t got = ::pread(fd, preview.jpeg.data() + done, preview.jpeg.size() - done,
                                static_cast<off_t>(offset + static_cast<INT64>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;  // the file shrank meanwhile
    done += static_cast<std::size_t>(got);
  }
  // Some cameras store the start-of-image marker otherwise; LibRaw and
  // dcraw put it back the same way.
  preview.jpeg[0] = 0xff;
  preview.jpeg[1] = 0xd8;
  preview.orientation = exifOrientation(raw.imgdata.sizes.flip);
  return preview;
}

}  // namespace velmora::photos
