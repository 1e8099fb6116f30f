#include "bridge/photos/disk_library.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <exiv2/exiv2.hpp>
#include <functional>
#include <map>

#include "bridge/photos/layout.h"
#include "bridge/photos/preview/preview_formats.h"
#include "inventory/fingerprint.h"
#include "inventory/raw_sample.h"
#include "support/raw_files.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"

namespace velmora::photos {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTimeZone;
using testing::TempDir;
using testing::writeFile;


void copySample(const std::string& sample, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(testing::testdata() / sample, to);
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

std::vector<std::string> identifiersOf(const std::vector<Asset>& assets) {
  std::vector<std::string> identifiers;
  for (const Asset& asset : assets) identifiers.push_back(asset.localIdentifier);
  return identifiers;
}

const Asset* findAsset(const std::vector<Asset>& assets, const std::string& identifier) {
  for (const Asset& asset : assets) {
    if (asset.localIdentifier == identifier) return &asset;
  }
  return nullptr;
}

std::string sha256Hex(const std::string& bytes) {
  inventory::Sha256Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return inventory::hex(digest);
}

// Edits a file's embedded EXIF/XMP in place.
void editMetadata(const fs::path& file,
                  const std::function<void(Exiv2::ExifData&, Exiv2::XmpData&)>& edit) {
  Exiv2::XmpParser::initialize();
  auto image = Exiv2::ImageFactory::open(file.string());
  image->readMetadata();
  edit(image->exifData(), image->xmpData());
  image->writeMetadata();
}

// An XMP sidecar with the given properties, such as `xmp:Rating="5"`.
std::string sidecar(const std::string& properties) {
  return "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
         "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
         "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
         "xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\" "
         "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" " +
         properties + "/></rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>\n";
}

std::string sidecarWithRating(int rating) {
  return sidecar("xmp:Rating=\"" + std::to_string(rating) + "\"");
}

// A library with one of everything the grouping knows, plus the traps.
struct SampleLibrary {
  TempDir dir;
  fs::path root = dir / "Pictures";
  fs::path outside = dir / "elsewhere";

  SampleLibrary() {
    copySample("photos/heif/androidx_sample_still_photo.heic", root / "2024/IMG_1.HEIC");
    copySample("video/bt601.mov", root / "2024/IMG_1.MOV");
    copySample("photos/jpeg/white-1x1.jpg", root / "2024/DSC_2.JPG");
    writeFile(root / "2024/DSC_2.NEF", "raw sensor data");
    writeFile(root / "2024/DSC_2.JPG.xmp", sidecarWithRating(2));
    writeFile(root / "2024/DSC_2.AAE", "<plist/>");
    writeFile(root / "raw/only.DNG", "raw alone");
    copySample("video/sample.mp4", root / "clip.mp4");
    writeFile(root / "a/x.jpg", "a");
    writeFile(root / "a b/x.jpg", "a b");
    writeFile(root / "Caf\xE9.jpg", "latin-1 name");
    writeFile(root / "notes.txt", "not a photo");
    writeFile(root / ".hidden.jpg", "hidden");
    writeFile(root / ".thumbnails/t.jpg", "hidden folder");
    writeFile(root / ".Trash-0/files/old.jpg", "trash");
    writeFile(outside / "z.jpg", "outside the library");
    writeFile(dir / "x.jpg", "beside the library");
    fs::create_symlink(outside / "z.jpg", root / "linked.jpg");
    fs::create_symlink(dir / "nowhere.jpg", root / "cloud.jpg");
    fs::create_symlink("self.jpg", root / "self.jpg");
    fs::create_symlink(".", root / "loop");
    fs::create_symlink(outside, root / "outside");
    fs::create_directories(root / "folder.jpg");
    ::mkfifo((root / "pipe.jpg").c_str(), 0600);
  }
};

TEST(DiskLibrary, EnumeratesTheTreeGroupedAndInPathOrder) {
  SampleLibrary sample;
  DiskLibrary library(sample.root);
  const std::vector<Asset> assets = library.fetchAll();
  EXPECT_EQ(identifiersOf(assets),
            (std::vector<std::string>{"2024/DSC_2.JPG", "2024/IMG_1.HEIC", "Caf%E9.jpg",
                                      "a b/x.jpg", "a/x.jpg", "clip.mp4", "cloud.jpg", "linked.jpg",
                                      "raw/only.DNG", "self.jpg"}));

  const std::string root = sample.root.string();
  const struct {
    std::string identifier;
    int mediaType;
    std::vector<std::tuple<long, std::string, std::string>> resources;  // type, uti, file
  } expected[] = {
      {"2024/IMG_1.HEIC",
       mediaTypeImage,
       {{1, "public.heic", "2024/IMG_1.HEIC"}, {9, "com.apple.quicktime-movie", "2024/IMG_1.MOV"}}},
      {"2024/DSC_2.JPG",
       mediaTypeImage,
       {{1, "public.jpeg", "2024/DSC_2.JPG"},
        {4, "com.nikon.raw-image", "2024/DSC_2.NEF"},
        {7, "com.apple.photos.apple-adjustment-envelope", "2024/DSC_2.AAE"},
        {7, "com.adobe.xmp", "2024/DSC_2.JPG.xmp"}}},
      {"raw/only.DNG", mediaTypeImage, {{1, "com.adobe.raw-image", "raw/only.DNG"}}},
      {"clip.mp4", mediaTypeVideo, {{2, "public.mpeg-4", "clip.mp4"}}},
      {"Caf%E9.jpg", mediaTypeImage, {{1, "public.jpeg", "Caf\xE9.jpg"}}},
  };
  for (const auto& e : expected) {
    const Asset* asset = findAsset(assets, e.identifier);
    ASSERT_NE(asset, nullptr) << e.identifier;
    EXPECT_EQ(asset->mediaType, e.mediaType) << e.identifier;
    ASSERT_EQ(asset->resources.size(), e.resources.size()) << e.identifier;
    for (std::size_t i = 0; i < e.resources.size(); ++i) {
      const auto& [type, uti, file] = e.resources[i];
      const Resource& resource = asset->resources[i];
      EXPECT_EQ(resource.type, type) << file;
      EXPECT_EQ(resource.uniformTypeIdentifier, uti) << file;
      EXPECT_EQ(resource.location, root + "/" + file);
      EXPECT_EQ(resource.originalFilename, fs::path(file).filename().string());
    }
  }
  // The same library gives the same assets every time.
  const std::vector<Asset> again = library.fetchAll();
  ASSERT_EQ(again.size(), assets.size());
  for (std::size_t i = 0; i < assets.size(); ++i) {
    EXPECT_EQ(again[i].localIdentifier, assets[i].localIdentifier);
    ASSERT_EQ(again[i].resources.size(), assets[i].resources.size());
    for (std::size_t j = 0; j < assets[i].resources.size(); ++j) {
      EXPECT_EQ(again[i].resources[j].location, assets[i].resources[j].location);
    }
  }
}

TEST(DiskLibrary, NoFolderNoAssets) {
  TempDir dir;
  EXPECT_TRUE(DiskLibrary(dir / "missing").fetchAll().empty());
  EXPECT_TRUE(DiskLibrary(std::nullopt).fetchAll().empty());
  EXPECT_TRUE(DiskLibrary(std::nullopt).fetchByIdentifiers({"a.jpg"}).empty());
}

TEST(DiskLibrary, FetchByIdentifiersFindsOnlyPrimaryFilesInsideTheLibrary) {
  SampleLibrary sample;
  DiskLibrary library(sample.root);

  // Request order, each asset once.
  EXPECT_EQ(identifiersOf(library.fetchByIdentifiers(
                {"a/x.jpg", "2024/IMG_1.HEIC", "Caf%E9.jpg", "a/x.jpg", "cloud.jpg"})),
            (std::vector<std::string>{"a/x.jpg", "2024/IMG_1.HEIC", "Caf%E9.jpg", "cloud.jpg"}));
  const std::vector<Asset> live = library.fetchByIdentifiers({"2024/IMG_1.HEIC"});
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].resources.size(), 2u);

  for (const std::string& identifier : std::vector<std::string>{"../x.jpg",
                                                                "a/../../x.jpg",
                                                                "/etc/passwd",
                                                                (sample.root / "clip.mp4").string(),
                                                                "2024//IMG_1.HEIC",
                                                                "./clip.mp4",
                                                                "a/./x.jpg",
                                                                "2024/IMG_1.MOV",
                                                                "2024/DSC_2.NEF",
                                                                "2024/DSC_2.AAE",
                                                                "2024/DSC_2.JPG.xmp",
                                                                "loop/clip.mp4",
                                                                "loop/a/x.jpg",
                                                                "outside/z.jpg",
                                                                "notes.txt",
                                                                ".hidden.jpg",
                                                                ".thumbnails/t.jpg",
                                                                "pipe.jpg",
                                                                "folder.jpg",
                                                                "Caf\xE9.jpg",
                                                                "gone.jpg",
                                                                "2024",
                                                                "2024/",
                                                                ""}) {
    EXPECT_TRUE(library.fetchByIdentifiers({identifier}).empty()) << identifier;
  }

  // Only what exists now.
  fs::remove(sample.root / "a/x.jpg");
  EXPECT_TRUE(library.fetchByIdentifiers({"a/x.jpg"}).empty());
}

TEST(DiskLibrary, ReadsResourcesInBoundedChunksToTheEnd) {
  constexpr std::size_t mebibyte = std::size_t{1} << 20;
  TempDir dir;
  fs::create_directories(dir / "lib/folder.jpg");
  fs::create_symlink(dir / "nowhere.jpg", dir / "lib/cloud.jpg");
  ::mkfifo((dir / "lib/pipe.jpg").c_str(), 0600);
  DiskLibrary library(dir / "lib");

  const auto read = [&](const std::string& name, std::vector<std::size_t>& chunks) {
    std::string received;
    Resource resource;
    resource.location = (dir / "lib" / name).string();
    const bool complete = library.readResource(resource, [&](std::span<const std::byte> chunk) {
      chunks.push_back(chunk.size());
      received.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    });
    return complete ? std::optional<std::string>(received) : std::nullopt;
  };

  // Small files are read in line, large ones one chunk ahead on a helper.
  for (const std::size_t size : {std::size_t{0}, std::size_t{7}, mebibyte, 2 * mebibyte + 7,
                                 4 * mebibyte + 1, 9 * mebibyte + 12345}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    const std::string name = std::to_string(size) + ".mov";
    writeFile(dir / "lib" / name, bytes);
    std::vector<std::size_t> chunks;
    EXPECT_EQ(read(name, chunks), bytes) << size;
    EXPECT_EQ(chunks.size(), (size + mebibyte - 1) / mebibyte) << size;
    for (const std::size_t chunk : chunks) EXPECT_LE(chunk, mebibyte);
  }
  std::vector<std::size_t> chunks;
  for (const std::string name : {"cloud.jpg", "folder.jpg", "pipe.jpg", "missing.jpg"}) {
    EXPECT_FALSE(read(name, chunks)) << name;
  }
}

TEST(DiskLibrary, FingerprintsAreStableAndAbsentForFilesElsewhere) {
  SampleLibrary sample;
  DiskLibrary library(sample.root);
  const std::vector<Asset> live = library.fetchByIdentifiers({"2024/IMG_1.HEIC"});
  ASSERT_EQ(live.size(), 1u);

  std::uint64_t size = 0;
  const auto fingerprint = inventory::resourceHash(library, live[0], size);
  ASSERT_TRUE(fingerprint);
  const std::string still = testing::readFile(sample.root / "2024/IMG_1.HEIC");
  const std::string movie = testing::readFile(sample.root / "2024/IMG_1.MOV");
  EXPECT_EQ(*fingerprint, sha256Hex("1:public.heic:" + sha256Hex(still) + "\n" +
                                    "9:com.apple.quicktime-movie:" + sha256Hex(movie)));
  EXPECT_EQ(size, still.size() + movie.size());

  // A second run over a fresh enumeration agrees.
  DiskLibrary reopened(sample.root);
  const std::vector<Asset> reopenedAssets = reopened.fetchAll();
  const Asset* again = findAsset(reopenedAssets, "2024/IMG_1.HEIC");
  std::uint64_t againSize = 0;
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(inventory::resourceHash(reopened, *again, againSize), fingerprint);
  EXPECT_EQ(againSize, size);

  const std::vector<Asset> cloud = library.fetchByIdentifiers({"cloud.jpg"});
  ASSERT_EQ(cloud.size(), 1u);
  EXPECT_FALSE(inventory::resourceHash(library, cloud[0], size));
  EXPECT_EQ(size, 0u);
  // Its attributes come from the name and the link alone.
  const AssetAttributes attributes = library.attributes(cloud[0]);
  EXPECT_EQ(attributes.pixelWidth, 0u);
  EXPECT_FALSE(attributes.isFavorite);
  EXPECT_TRUE(attributes.creationDate);
}

TEST(DiskLibrary, PixelSizesAsDisplayedAndCaptureDates) {
  ScopedTimeZone zone("UTC");
  const struct {
    std::string sample;
    std::string name;
    std::uint64_t width, height;
    std::optional<double> created;
  } cases[] = {
      {"photos/orientation/Landscape_1.jpg", "o1.jpg", 1800, 1200, std::nullopt},
      {"photos/orientation/Landscape_6.jpg", "o6.jpg", 1800, 1200, std::nullopt},
      {"photos/orientation/Landscape_8.jpg", "o8.jpg", 1800, 1200, std::nullopt},
      {"photos/motion/pixel-motion-photo-shortened.jpg", "pixel.jpg", 3024, 4032, 1608199380},
      {"photos/jpeg/london.jpg", "london.jpg", 1020, 768, 1675774469},
      {"photos/heif/androidx_sample_still_photo.heic", "still.heic", 1080, 1920, 1603283178},
      {"made/odd.heic", "odd.heic", 451, 461, std::nullopt},  // coded 452 x 462, cropped
      {"photos/avif/Ronda_rotate90.avif", "ronda.avif", 1080, 1920, 1483010681.17},
      {"photos/avif/Summer_in_Tomsk_720p_5x4_grid.avif", "grid.avif", 6400, 2880, std::nullopt},
      {"video/sample.mp4", "sample.mp4", 1080, 720, 1464714095},
      {"video/sample_portrait.mp4", "portrait.mp4", 720, 1080, std::nullopt},
      {"video/sample_rotate_and_reflect.mp4", "turned.mp4", 720, 1080, 1464714095},
      // Apple's capture time (12:41:46+0100), not the container's write time.
      {"video/dolbyVision-hdr.MOV", "hdr.MOV", 720, 1280, 1683632506},
      {"video/bbb_642x642_768kbps_30fps_vp9.webm", "bbb.webm", 642, 642, 1614170882},
      {"video/sample_audio_only.mp4", "audio.mp4", 0, 0, std::nullopt},
      // Shown with its 12:11 pixels, as its preview is.
      {"video/bbb_176x144_128kbps_15fps_h263.3gp", "h263.3gp", 192, 144, std::nullopt},
      // Dates only in XMP: GIMP's export, and xmp:CreateDate with its offset.
      {"photos/exif-date/imagers_exif-xmp-metadata.jpg", "gimp.jpg", 5, 5, 1762129873},
      {"bad/truncated/truncated_app14.jpg", "app14.jpg", 100, 100, 1236374129},
      // A stereo MPO reads as the JPEG in front.
      {"photos/jpeg/frozenpond.mpo", "pond.mpo", 640, 480, 1393767000},
      // Exiv2 refuses these; the decoder's header still knows the size.
      {"bad/truncated/truncated_image.png", "truncated.png", 640, 480, std::nullopt},
      {"bad/corrupt/icc-after-SOF.jpg", "icc.jpg", 10, 10, std::nullopt},
  };
  TempDir dir;
  const double modifiedSeconds = 1500000000.5;
  testing::writeTrickyPictures(dir / "made");
  for (const auto& c : cases) {
    if (c.sample.starts_with("made/")) {
      fs::copy_file(dir / c.sample, dir / "lib" / c.name);
    } else {
      copySample(c.sample, dir / "lib" / c.name);
    }
    const timespec times[2] = {{1500000000, 500000000}, {1500000000, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "lib" / c.name).c_str(), times, 0), 0);
  }

  DiskLibrary library(dir / "lib");
  const std::vector<Asset> assets = library.fetchAll();
  for (const auto& c : cases) {
    const Asset* asset = findAsset(assets, c.name);
    ASSERT_NE(asset, nullptr) << c.name;
    const AssetAttributes attributes = library.attributes(*asset);
    EXPECT_EQ(attributes.pixelWidth, c.width) << c.name;
    EXPECT_EQ(attributes.pixelHeight, c.height) << c.name;
    ASSERT_TRUE(attributes.creationDate) << c.name;
    // Without a capture time the file's modification time stands in.
    EXPECT_NEAR(*attributes.creationDate, c.created.value_or(modifiedSeconds), 1.0) << c.name;
  }
}

TEST(DiskLibrary, CaptureDatesHonourOffsetSubsecondsAndLocalTime) {
  TempDir dir;
  const struct {
    std::string name, dateTime, offset, subSeconds;
    const char* zone;
    double expected;
  } cases[] = {
      {"offset.jpg", "2021:06:01 10:00:00", "+02:00", "25", "UTC", 1622534400.25},
      {"west.jpg", "2021:06:01 03:30:00", "-04:30", "", "UTC", 1622534400},
      {"local.jpg", "2021:06:01 11:00:00", "", "5", "UTC-3", 1622534400.5},
      {"blank.jpg", "2021:06:01 08:00:00", "   :  ", "", "UTC", 1622534400},
  };
  for (const auto& c : cases) {
    copySample("photos/jpeg/white-1x1.jpg", dir / "lib" / c.name);
    editMetadata(dir / "lib" / c.name, [&](Exiv2::ExifData& exif, Exiv2::XmpData&) {
      exif["Exif.Photo.DateTimeOriginal"] = c.dateTime;
      if (!c.offset.empty()) exif["Exif.Photo.OffsetTimeOriginal"] = c.offset;
      if (!c.subSeconds.empty()) exif["Exif.Photo.SubSecTimeOriginal"] = c.subSeconds;
    });
  }
  DiskLibrary library(dir / "lib");
  const std::vector<Asset> assets = library.fetchAll();
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    const Asset* asset = findAsset(assets, c.name);
    ASSERT_NE(asset, nullptr) << c.name;
    EXPECT_EQ(library.attributes(*asset).creationDate, c.expected) << c.name;
  }
}

TEST(DiskLibrary, CaptureDatesFallBackFromExifToXmpToSidecarsToTheContainer) {
  TempDir dir;
  const fs::path lib = dir / "lib";
  const double june1st0800Utc = 1622534400;
  const double localMidnight = june1st0800Utc - 10 * 3600;  // in UTC-2, two hours east
  const double modified = 1500000000;
  struct Case {
    std::string name;
    std::map<std::string, std::string> embedded;  // EXIF or XMP key, value
    std::string sidecarName, sidecarProperties;
    double expected;
  };
  const Case cases[] = {
      {"digitized.jpg",
       {{"Exif.Photo.DateTimeDigitized", "2021:06:01 10:00:00"},
        {"Xmp.xmp.CreateDate", "2020-01-01T00:00:00Z"}},
       "",
       "",
       june1st0800Utc},
      {"xmp-order.jpg",
       {{"Xmp.exif.DateTimeOriginal", "2021-06-01T08:00:00Z"},
        {"Xmp.photoshop.DateCreated", "2019-01-01"},
        {"Xmp.xmp.CreateDate", "2018-01-01T00:00:00Z"}},
       "",
       "",
       june1st0800Utc},
      {"photoshop.jpg",
       {{"Xmp.photoshop.DateCreated", "2021-06-01"},
        {"Xmp.xmp.CreateDate", "2018-01-01T00:00:00Z"}},
       "",
       "",
       localMidnight},
      {"createdate.jpg",
       {{"Xmp.xmp.CreateDate", "2021:06:01 10:00:00+02:00"}},
       "",
       "",
       june1st0800Utc},
      {"malformed.jpg",
       {{"Xmp.exif.DateTimeOriginal", "yesterday"}, {"Xmp.xmp.CreateDate", "2021-06-01T10:00"}},
       "",
       "",
       june1st0800Utc},
      {"embedded.jpg",
       {{"Xmp.xmp.CreateDate", "2021-06-01T08:00:00Z"}},
       "embedded.xmp",
       "exif:DateTimeOriginal=\"2019-01-01T00:00:00Z\"",
       june1st0800Utc},
      {"sidecar.jpg", {}, "sidecar.xmp", "photoshop:DateCreated=\"2021-06-01\"", localMidnight},
      {"named.jpg", {}, "named.jpg.xmp", "xmp:CreateDate=\"2021-06-01T08:00:00Z\"", june1st0800Utc},
      {"undated.jpg", {}, "undated.xmp", "xmp:Rating=\"3\"", modified},
      {"nothing.jpg", {}, "", "", modified},
  };
  for (const Case& c : cases) {
    testing::writeFlatJpeg(lib / c.name, 128);
    if (!c.embedded.empty()) {
      editMetadata(lib / c.name, [&](Exiv2::ExifData& exif, Exiv2::XmpData& xmp) {
        for (const auto& [key, value] : c.embedded) {
          if (key.starts_with("Exif.")) {
            exif[key] = value;
          } else {
            xmp[key] = value;
          }
        }
      });
    }
    if (!c.sidecarName.empty()) writeFile(lib / c.sidecarName, sidecar(c.sidecarProperties));
    const timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (lib / c.name).c_str(), times, 0), 0);
  }
  const bool video = !testing::testdata().empty();
  if (video) {
    // A sidecar's date comes before the container's (2016).
    copySample("video/sample.mp4", lib / "clip.mp4");
    writeFile(lib / "clip.mp4.xmp", sidecar("xmp:CreateDate=\"2021-06-01T08:00:00Z\""));
  }

  const ScopedTimeZone zone("UTC-2");
  DiskLibrary library(lib);
  const std::vector<Asset> assets = library.fetchAll();
  for (const Case& c : cases) {
    const Asset* asset = findAsset(assets, c.name);
    ASSERT_NE(asset, nullptr) << c.name;
    EXPECT_EQ(library.attributes(*asset).creationDate, c.expected) << c.name;
  }
  if (video) {
    const Asset* clip = findAsset(assets, "clip.mp4");
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(library.attributes(*clip).creationDate, june1st0800Utc);
  }
}

TEST(DiskLibrary, RawFilesOnlyLibRawReadsGetWhatExiv2WouldGive) {
  // The same DNG twice, once with a header Exiv2 refuses: LibRaw's reading
  // must agree with Exiv2's, preview included.
  const ScopedTimeZone zone("UTC");
  TempDir dir;
  testing::DngFile dng;
  dng.previewJpeg = *inventory::encodeJpeg(testing::halves(160, 120), 90);
  dng.orientation = 6;
  dng.dateTimeOriginal = "2021:06:01 10:00:00";
  dng.offsetTimeOriginal = "+02:00";
  testing::writeDng(dir / "lib/exiv2.DNG", dng);
  dng.unknownToExiv2 = true;
  testing::writeDng(dir / "lib/libraw.DNG", dng);

  DiskLibrary library(dir / "lib");
  const std::vector<Asset> assets = library.fetchAll();
  ASSERT_EQ(assets.size(), 2u);
  for (const Asset& asset : assets) {
    const AssetAttributes attributes = library.attributes(asset);
    EXPECT_EQ(attributes.pixelWidth, 192u) << asset.localIdentifier;
    EXPECT_EQ(attributes.pixelHeight, 256u) << asset.localIdentifier;
    EXPECT_EQ(attributes.creationDate, 1622534400) << asset.localIdentifier;
    const std::optional<RgbImage> preview = library.requestImage(asset, 600, 600);
    ASSERT_TRUE(preview) << asset.localIdentifier;
    EXPECT_EQ(preview->width, 120u) << asset.localIdentifier;
    EXPECT_EQ(preview->height, 160u) << asset.localIdentifier;
    // Turned right: the white left half is now on top.
    EXPECT_GT(preview->pixels[0], 230) << asset.localIdentifier;
    EXPECT_LT(preview->pixels.back(), 25) << asset.localIdentifier;
  }
}

TEST(DiskLibrary, CanonCr3FromTheSharedSamples) {
  // The one CR3 sample stays outside the project (its licence). It holds
  // metadata only; a generated JPEG takes the place of its dummy picture.
  const fs::path sample = testing::outsideSample("photos/raw/CanonRaw.cr3");
  if (sample.empty()) GTEST_SKIP() << "the shared CR3 sample is not beside the checkout";
  TempDir dir;
  fs::create_directories(dir / "lib");
  fs::copy_file(sample, dir / "lib/IMG_0001.CR3");
  const std::string picture =
      testing::cr3WithPicture(*inventory::encodeJpeg(testing::halves(1200, 800), 90));
  ASSERT_FALSE(picture.empty());
  writeFile(dir / "lib/IMG_0002.CR3", picture);

  DiskLibrary library(dir / "lib");
  const std::vector<Asset> assets = library.fetchAll();
  ASSERT_EQ(assets.size(), 2u);
  for (const Asset& asset : assets) {
    const AssetAttributes attributes = library.attributes(asset);
    EXPECT_EQ(attributes.pixelWidth, 6000u);
    EXPECT_EQ(attributes.pixelHeight, 4000u);
    ASSERT_TRUE(attributes.creationDate);
    EXPECT_NEAR(*attributes.creationDate, 1519214936.21, 1e-3);  // 12:08:56.21 +00:00
  }
  EXPECT_FALSE(library.requestImage(assets[0], 600, 600));
  const std::optional<RgbImage> preview = library.requestImage(assets[1], 600, 600);
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->width, 600u);
  EXPECT_EQ(preview->height, 400u);
}

TEST(DiskLibrary, EveryFileWithAPreviewHasASizeOfItsShape) {
  // Record and preview come from different readers; for every sample they
  // must agree: a size wherever there is a preview, turned the same way,
  // with the same pixel aspect.
  TempDir dir;
  for (const auto& entry : fs::recursive_directory_iterator(testing::testdata())) {
    const std::string relative = fs::relative(entry.path(), testing::testdata()).string();
    if (!entry.is_regular_file() || relative.starts_with("qr/") ||
        entry.path().filename() == "libpng_huge_zTXt_chunk.png" ||
        fileKind(entry.path().filename().string()) == FileKind::other) {
      continue;
    }
    std::string flat = relative;
    std::replace(flat.begin(), flat.end(), '/', '_');
    copySample(relative, dir / "lib" / flat);
  }
  DiskLibrary library(dir / "lib");
  std::size_t previews = 0;
  for (const Asset& asset : library.fetchAll()) {
    const std::optional<RgbImage> preview = library.requestImage(asset, 600, 600);
    if (!preview) continue;
    ++previews;
    const AssetAttributes attributes = library.attributes(asset);
    const FittedSize fitted = fitInto(static_cast<double>(attributes.pixelWidth),
                                      static_cast<double>(attributes.pixelHeight), 600, 600);
    EXPECT_NEAR(fitted.width, preview->width, 1) << asset.localIdentifier;
    EXPECT_NEAR(fitted.height, preview->height, 1) << asset.localIdentifier;
  }
  EXPECT_GT(previews, 100u);
}

TEST(DiskLibrary, FavouritesByEmbeddedRatingSidecarsOrDesktopRating) {
  TempDir dir;
  const fs::path lib = dir / "lib";
  const auto photo = [&](const std::string& name) {
    copySample("photos/jpeg/white-1x1.jpg", lib / name);
  };
  const auto embedRating = [&](const std::string& name, const std::string& rating) {
    editMetadata(lib / name,
                 [&](Exiv2::ExifData&, Exiv2::XmpData& xmp) { xmp["Xmp.xmp.Rating"] = rating; });
  };
  const auto desktopRating = [&](const std::string& name, const std::string& value) {
    ASSERT_EQ(::setxattr((lib / name).c_str(), "user.baloo.rating", value.data(), value.size(), 0),
              0);
  };
  photo("embedded5.jpg"), embedRating("embedded5.jpg", "5");
  photo("embedded4.jpg"), embedRating("embedded4.jpg", "4");
  photo("stem.jpg"), writeFile(lib / "stem.xmp", sidecarWithRating(5));
  photo("named.jpg"), writeFile(lib / "named.jpg.xmp", sidecarWithRating(5));
  photo("low.jpg"), writeFile(lib / "low.xmp", sidecarWithRating(3));
  photo("baloo10.jpg"), desktopRating("baloo10.jpg", "10");
  photo("baloo8.jpg"), desktopRating("baloo8.jpg", "8");
  photo("plain.jpg");
  copySample("video/testvid_1022ms.mp4", lib / "clip.mp4");
  writeFile(lib / "clip.mp4.xmp", sidecarWithRating(5));
  copySample("video/h265_bframes.mp4", lib / "other.mp4");
  desktopRating("other.mp4", "10");

  const std::pair<std::string, bool> cases[] = {
      {"embedded5.jpg", true}, {"embedded4.jpg", false}, {"stem.jpg", true},
      {"named.jpg", true},     {"low.jpg", false},       {"baloo10.jpg", true},
      {"baloo8.jpg", false},   {"plain.jpg", false},     {"clip.mp4", true},
      {"other.mp4", true},
  };
  DiskLibrary library(lib);
  const std::vector<Asset> assets = library.fetchAll();
  for (const auto& [name, favourite] : cases) {
    const Asset* asset = findAsset(assets, name);
    ASSERT_NE(asset, nullptr) << name;
    EXPECT_EQ(library.attributes(*asset).isFavorite, favourite) << name;
  }
}

TEST(DiskLibrary, ScreenshotsByNameFolderOrMarker) {
  const std::pair<std::string, bool> cases[] = {
      {"Screenshot from 2024-03-01 12-30-45.png", true},
      {"Screenshot from 2019-03-01 12:30:45.png", true},
      {"Bildschirmfoto vom 2024-03-01 12-30-45.png", true},
      {"Screenshot_20240301_123045.png", true},
      {"Screenshot_20240301-123045.png", true},
      {"Screenshot_20240301-123045_Chrome.jpg", true},
      {"Screenshot 2024-03-01 at 12.30.45.png", true},
      {"Screen Shot 2019-03-01 at 9.30.45 PM.png", true},
      {"Bildschirmfoto 2024-03-01 um 12.30.45.png", true},
      {"Screenshots/holiday.png", true},
      {"Archiv/Bildschirmfotos/2023/scan.png", true},
      // Near misses.
      {"Screenshot.png", false},
      {"Screenshot idea.png", false},
      {"My Screenshot_20240301_123045.png", false},
      {"Screenshot_2024030_123045.png", false},
      {"Screenshot from yesterday.png", false},
      {"Screenshots-alt/c.png", false},
      {"screenshots/lower.png", false},
      {"Screenshots.png", false},
      {"Bildschirmfoto.png", false},
  };
  TempDir dir;
  const fs::path lib = dir / "lib";
  for (const auto& [name, screenshot] : cases) copySample("tricky/gray/basn0g08.png", lib / name);
  copySample("photos/jpeg/white-1x1.jpg", lib / "IMG_0001.JPG");
  editMetadata(lib / "IMG_0001.JPG", [](Exiv2::ExifData& exif, Exiv2::XmpData&) {
    exif["Exif.Photo.UserComment"] = "charset=Ascii Screenshot";
  });
  copySample("photos/jpeg/white-1x1.jpg", lib / "IMG_0002.JPG");
  editMetadata(lib / "IMG_0002.JPG", [](Exiv2::ExifData& exif, Exiv2::XmpData&) {
    exif["Exif.Photo.UserComment"] = "charset=Ascii Screenshot of a map";
  });

  DiskLibrary library(lib);
  const std::vector<Asset> assets = library.fetchAll();
  const auto isScreenshot = [&](const std::string& name) {
    const Asset* asset = findAsset(assets, name);
    EXPECT_NE(asset, nullptr) << name;
    return asset && (library.attributes(*asset).mediaSubtypes & mediaSubtypeScreenshot) != 0;
  };
  for (const auto& [name, screenshot] : cases) EXPECT_EQ(isScreenshot(name), screenshot) << name;
  EXPECT_TRUE(isScreenshot("IMG_0001.JPG"));
  EXPECT_FALSE(isScreenshot("IMG_0002.JPG"));
}

// Everything a record is made of comes from the files: each change a read
// could see changes the asset's state. (A file just written has none: a
// change in the same tick of the file system's clock would not show.)
TEST(DiskLibrary, AssetStateChangesWithEveryChangeAReadCouldSee) {
  TempDir dir;
  const fs::path lib = dir / "lib";
  for (const char* name :
       {"same.jpg", "content.jpg", "touched.jpg", "rated.jpg", "mode.jpg", "sidecar.jpg",
        "unsidecar.jpg", "swap-a.jpg", "swap-b.jpg", "live.jpg", "future.jpg"}) {
    writeFile(lib / name, std::string("jpeg bytes of ") + name);
  }
  // From a camera whose clock was a year ahead: only the change time counts.
  const timespec ahead[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 365 * 86400, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (lib / "future.jpg").c_str(), ahead, 0), 0);
  writeFile(lib / "unsidecar.xmp", sidecarWithRating(5));
  writeFile(lib / "live.mov", "movie");
  fs::create_symlink("missing.jpg", lib / "cloud.jpg");
  DiskLibrary library(lib);

  const auto states = [&] {
    std::map<std::string, std::optional<std::string>> result;
    for (const Asset& asset : library.fetchAll()) {
      result[asset.localIdentifier] = library.assetState(asset);
    }
    return result;
  };
  for (const auto& [identifier, state] : states()) EXPECT_FALSE(state) << identifier;
  ::sleep(3);
  const auto before = states();
  for (const auto& [identifier, state] : before) {
    EXPECT_EQ(state.has_value(), identifier != "cloud.jpg") << identifier;
  }

  const std::string content = testing::readFile(lib / "content.jpg");
  struct stat old {};
  ASSERT_EQ(::stat((lib / "content.jpg").c_str(), &old), 0);
  std::string changed = content;
  changed[0] ^= 1;
  writeFile(lib / "content.jpg", changed);  // same size, and the old times put back
  const timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (lib / "content.jpg").c_str(), times, 0), 0);
  const timespec later[2] = {{0, UTIME_OMIT}, {old.st_mtim.tv_sec - 60, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (lib / "touched.jpg").c_str(), later, 0), 0);
  const bool attributes =
      ::setxattr((lib / "rated.jpg").c_str(), "user.baloo.rating", "10", 2, 0) == 0;
  fs::permissions(lib / "mode.jpg", fs::perms::others_read, fs::perm_options::remove);
  writeFile(lib / "sidecar.xmp", sidecarWithRating(5));
  fs::remove(lib / "unsidecar.xmp");
  fs::rename(lib / "swap-a.jpg", lib / "swap.tmp");
  fs::rename(lib / "swap-b.jpg", lib / "swap-a.jpg");
  fs::rename(lib / "swap.tmp", lib / "swap-b.jpg");
  fs::remove(lib / "live.mov");
  ::sleep(3);

  const auto after = states();
  for (const auto& [identifier, state] : after) {
    SCOPED_TRACE(identifier);
    if (identifier == "cloud.jpg") continue;
    ASSERT_TRUE(state);
    if (identifier == "rated.jpg" && !attributes) continue;  // no user attributes here
    EXPECT_EQ(*state == *before.at(identifier),
              identifier == "same.jpg" || identifier == "future.jpg");
  }
}

TEST(DiskLibrary, DeletionRefusesAssetsThatMovedOnOrChanged) {
  TempDir dir;
  const fs::path lib = dir / "lib";
  writeFile(lib / "gone.jpg", "g");
  writeFile(lib / "IMG_1.HEIC", "still");
  writeFile(lib / "IMG_1.MOV", "movie");
  writeFile(lib / "keep.jpg", "k");
  DiskLibrary library(lib);
  const std::vector<Asset> assets = library.fetchAll();
  ASSERT_EQ(assets.size(), 3u);

  fs::remove(lib / "gone.jpg");
  ChangeResult result = library.deleteAssets(assets);
  EXPECT_FALSE(result.succeeded);
  EXPECT_TRUE(result.selectionChanged);

  // A new sidecar joined the asset after it was checked.
  std::vector<Asset> live = library.fetchByIdentifiers({"IMG_1.HEIC"});
  writeFile(lib / "IMG_1.AAE", "<plist/>");
  EXPECT_FALSE(library.deleteAssets(live).succeeded);

  // Locations are never taken from the caller.
  std::vector<Asset> forged = library.fetchByIdentifiers({"keep.jpg"});
  ASSERT_EQ(forged.size(), 1u);
  forged[0].resources[0].location = (dir / "victim.jpg").string();
  writeFile(dir / "victim.jpg", "v");
  EXPECT_FALSE(library.deleteAssets(forged).succeeded);

  EXPECT_TRUE(fs::exists(lib / "IMG_1.HEIC"));
  EXPECT_TRUE(fs::exists(lib / "IMG_1.MOV"));
  EXPECT_TRUE(fs::exists(lib / "keep.jpg"));
  EXPECT_TRUE(fs::exists(dir / "victim.jpg"));
}

}  // namespace
}  // namespace velmora::photos
