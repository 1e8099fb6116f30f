#include "bridge/photos/media/exiv2_gate.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bridge/photos/media/exiv2_setup.h"
#include "support/raw_files.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::photos {
namespace {

using testing::TempDir;
using namespace std::string_literals;

// Exiv2 reads a file only as the format its name and its first bytes agree
// on; what the contents alone suggest is never tried.
TEST(Exiv2Gate, OnlyWhatTheNameAndTheContentsAgreeOn) {
  startExiv2();
  TempDir dir;
  testing::writeFlatJpeg(dir.path() / "flat.jpg", 100);
  const std::string jpeg = testing::readFile(dir.path() / "flat.jpg");
  const std::string dng = testing::dngBytes(testing::DngFile{});
  // An ISO media file's first box, as a CR3 starts.
  const std::string cr3 = "\0\0\0\x18" "ftypcrx \0\0\0\x01" "crx isom"s;
  const std::string png("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
  const std::string riff = "RIFF\x10\0\0\0AVI LIST\x04\0\0\0INFO"s;
  const std::string webp = "RIFF\x1A\0\0\0WEBPVP8 \x0E\0\0\0"s + std::string(14, '\0');
  const std::string xmp =
      "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"></x:xmpmeta>\n<?xpacket end=\"w\"?>";
  const std::string pgf = "PGF6\x10\0\0\0"s + std::string(16, '\0');
  const std::string matroska = "\x1A\x45\xDF\xA3\x9F\x42\x86\x81\x01";

  const struct {
    const std::string* bytes;
    const char* name;
    std::optional<Exiv2Format> format;
  } cases[] = {
      {&jpeg, "a.jpg", Exiv2Format::jpeg},
      {&jpeg, "A.JPEG", Exiv2Format::jpeg},
      {&jpeg, "stereo.mpo", Exiv2Format::jpeg},
      {&jpeg, "a.png", std::nullopt},  // a JPEG under another name
      {&jpeg, "a.xmp", std::nullopt},
      {&png, "a.png", Exiv2Format::png},
      {&png, "a.jpg", std::nullopt},
      {&dng, "a.dng", Exiv2Format::tiff},
      {&dng, "a.NEF", Exiv2Format::tiff},
      {&dng, "a.cr2", Exiv2Format::tiff},  // a TIFF that is no CR2 is read as TIFF
      {&dng, "a.jpg", std::nullopt},
      {&cr3, "a.cr3", Exiv2Format::bmff},
      {&cr3, "a.heic", Exiv2Format::bmff},
      {&cr3, "a.mov", std::nullopt},  // videos never reach Exiv2
      {&webp, "a.webp", Exiv2Format::webp},
      {&xmp, "a.xmp", Exiv2Format::xmp},
      {&xmp, "a.jpg", std::nullopt},
      // What Exiv2 would otherwise pick by itself: its video and PGF readers.
      {&riff, "a.jpg", std::nullopt},
      {&riff, "a.avi", std::nullopt},
      {&matroska, "a.tif", std::nullopt},
      {&matroska, "a.webm", std::nullopt},
      {&pgf, "a.jpg", std::nullopt},
      {&jpeg, "no-extension", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto* data = reinterpret_cast<const std::uint8_t*>(c.bytes->data());
    EXPECT_EQ(agreedFormat(data, c.bytes->size(), c.name), c.format);
  }
  EXPECT_EQ(agreedFormat(nullptr, 0, "a.jpg"), std::nullopt);
}

}  // namespace
}  // namespace velmora::photos
