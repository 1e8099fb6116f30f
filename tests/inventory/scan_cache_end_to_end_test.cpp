// The built executable scanning with its cache: the same lines and preview
// files as without one, and every kind of change to a library seen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "bridge/photos/disk_library.h"
#include "inventory/raw_sample.h"
#include "inventory/record_stamp.h"
#include "inventory/scan_cache.h"
#include "inventory/thumbnail.h"
#include "support/bridge_runner.h"
#include "support/sample_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* ratingFive =
    R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
    R"(<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/>)"
    R"(</rdf:RDF></x:xmpmeta>)";

struct Scan {
  BridgeRun run;
  std::map<std::string, std::string> previews;
};

// A file changed less than two seconds before a scan is not kept (a change
// within the same tick of the file system's clock would not show), so the
// library must age before a scan can fill the cache.
void letTheLibrarySettle() { ::sleep(3); }

class ScanCacheEndToEnd : public ::testing::Test {
 protected:
  fs::path cacheFolder() const { return home.home() / ".cache" / "velmora-bridge"; }

  Scan scan(bool cached, const char* zone = nullptr) {
    const fs::path previews = home.scratch() / "previews";
    fs::remove_all(previews);
    fs::create_directories(previews);
    RunOptions options;
    options.environment = home.environment();
    if (!cached) options.environment["VELMORA_SCAN_CACHE"] = "off";
    if (zone != nullptr) options.environment["TZ"] = zone;
    Scan result{runBridge({"scan", previews.string()}, options), {}};
    EXPECT_EQ(result.run.status, 0);
    EXPECT_EQ(result.run.err, "");
    for (const auto& entry : fs::directory_iterator(previews)) {
      result.previews[entry.path().filename()] = readFile(entry.path());
    }
    return result;
  }

  static void expectSame(const Scan& actual, const Scan& expected) {
    EXPECT_EQ(actual.run.out, expected.run.out);
    EXPECT_EQ(actual.previews, expected.previews);
  }

  // The identifiers of the assets the cache holds findings for, asked the
  // way the bridge asks: under its stamp, with the files as they are now.
  std::vector<std::string> kept() {
    std::vector<std::string> found;
    const std::unique_ptr<inventory::ScanCache> cache =
        inventory::ScanCache::open(cacheFolder(), inventory::recordStamp());
    if (!cache) return found;
    photos::DiskLibrary library(home.pictures());
    for (const photos::Asset& asset : library.fetchAll()) {
      const std::optional<std::string> state = library.assetState(asset);
      if (state && cache->find(asset.localIdentifier, *state))
        found.push_back(asset.localIdentifier);
    }
    return found;
  }

  void copy(const std::string& sample, const std::string& name) {
    fs::create_directories((home.pictures() / name).parent_path());
    fs::copy_file(testdata() / sample, home.pictures() / name);
  }

  TestHome home;
};

const json& recordOf(const Scan& scan, const std::string& assetId) {
  static const json none;
  for (const json& item : scan.run.lines.back()["items"]) {
    if (item["asset_id"] == assetId) return item;
  }
  return none;
}

TEST_F(ScanCacheEndToEnd, AWarmScanOfTheSampleLibraryIsTheSameByteForByte) {
  copy("photos/heif/androidx_sample_still_photo.heic", "DCIM/IMG_0001.HEIC");
  copy("video/bt601.mov", "DCIM/IMG_0001.MOV");  // its live-photo video
  copy("photos/jpeg/london.jpg", "DCIM/IMG_0002.JPG");
  writeFile(home.pictures() / "DCIM/IMG_0003.jpg", *inventory::encodeJpeg(halves(800, 600), 90));
  writeFile(home.pictures() / "DCIM/IMG_0003.xmp", ratingFive);
  writeRawSample(home.pictures() / "DCIM/IMG_0004.DNG");
  copy("screenshots/btop_normal.png", "Screenshots/Screenshot from 2024-05-01 10-00-00.png");
  copy("qr/positive/qrcode-5/16.png", "qr.png");
  copy("video/bbb_176x144_192kbps_15fps_mpeg4.mp4", "clip.mp4");
  writeTrickyPictures(home.scratch() / "tricky");
  fs::copy_file(home.scratch() / "tricky/p3.png", home.pictures() / "p3.png");
  copy("photos/webp/simple_lossless.webp", "lossless.webp");
  copy("tricky/gif/interlaced.gif", "interlaced.gif");
  writeFile(home.pictures() / "broken.jpg", "no picture at all");
  fs::create_symlink(home.scratch() / "only-in-the-cloud.jpg", home.pictures() / "cloud.jpg");
  letTheLibrarySettle();

  const Scan expected = scan(false);
  ASSERT_FALSE(expected.run.lines.empty());
  const json& items = expected.run.lines.back()["items"];
  ASSERT_EQ(items.size(), 12u) << expected.run.out;
  EXPECT_EQ(recordOf(expected, "qr.png")["qr"], true);
  EXPECT_FALSE(fs::exists(cacheFolder()));

  expectSame(scan(true), expected);
  // Everything but what a later scan might not find again: the asset that
  // is not on this computer and the one without a preview.
  std::vector<std::string> keepable;
  for (const json& item : items) {
    if (item["asset_id"] != "cloud.jpg" && item["asset_id"] != "broken.jpg") {
      keepable.push_back(item["asset_id"]);
    }
  }
  std::sort(keepable.begin(), keepable.end());
  std::vector<std::string> found = kept();
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, keepable);

  expectSame(scan(true), expected);
}

TEST_F(ScanCacheEndToEnd, EveryKindOfChangeIsSeen) {
  const fs::path pictures = home.pictures();
  int shade = 0;
  for (const char* name : {"same.jpg", "content.jpg", "touched.jpg", "rated.jpg", "sidecar.jpg",
                           "unsidecar.jpg", "live.jpg"}) {
    writeFlatJpeg(pictures / name, shade += 30, 64, 48);
  }
  writeNoiseJpeg(pictures / "swap-a.jpg", 64, 48);
  writeFlatJpeg(pictures / "swap-b.jpg", 200, 48, 64);
  writeFile(pictures / "unsidecar.xmp", ratingFive);
  writeFlatJpeg(pictures / "live.mov", 10);  // the bytes matter, not what they show
  letTheLibrarySettle();
  scan(true);
  ASSERT_EQ(kept().size(), 9u);
  const Scan before = scan(true);

  // New contents of the same size under the old modification time.
  const fs::path content = pictures / "content.jpg";
  struct stat old {};
  ASSERT_EQ(::stat(content.c_str(), &old), 0);
  const std::uintmax_t size = fs::file_size(content);
  const fs::path other = home.scratch() / "other.jpg";
  for (int level = 250; level > 0 && (!fs::exists(other) || fs::file_size(other) > size); --level) {
    writeFlatJpeg(other, level, 64, 48);
  }
  ASSERT_LE(fs::file_size(other), size);
  // Padded after its end marker, which decoders do not read past.
  writeFile(content, readFile(other) + std::string(size - fs::file_size(other), '\0'));
  const timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, content.c_str(), times, 0), 0);
  // Touched: its date is the modification time, having no other.
  const timespec earlier[2] = {{0, UTIME_OMIT}, {old.st_mtim.tv_sec - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (pictures / "touched.jpg").c_str(), earlier, 0), 0);
  const bool attributes =
      ::setxattr((pictures / "rated.jpg").c_str(), "user.baloo.rating", "10", 2, 0) == 0;
  writeFile(pictures / "sidecar.xmp", ratingFive);
  fs::remove(pictures / "unsidecar.xmp");
  fs::rename(pictures / "swap-a.jpg", pictures / "swap.tmp");
  fs::rename(pictures / "swap-b.jpg", pictures / "swap-a.jpg");
  fs::rename(pictures / "swap.tmp", pictures / "swap-b.jpg");
  fs::remove(pictures / "live.mov");
  // Settled, so that each change must show in the files' state, not only
  // in how recent it is.
  letTheLibrarySettle();

  const Scan expected = scan(false);
  expectSame(scan(true), expected);
  for (const char* name : {"content.jpg", "touched.jpg", "rated.jpg", "sidecar.jpg",
                           "unsidecar.jpg", "swap-a.jpg", "swap-b.jpg", "live.jpg"}) {
    SCOPED_TRACE(name);
    if (std::string(name) == "rated.jpg" && !attributes) continue;  // no user attributes here
    EXPECT_NE(recordOf(expected, name), recordOf(before, name));
  }
  EXPECT_EQ(recordOf(expected, "same.jpg"), recordOf(before, "same.jpg"));
  // The changed assets were kept again, under their new state.
  EXPECT_EQ(kept().size(), 9u);
  expectSame(scan(true), expected);
}

TEST_F(ScanCacheEndToEnd, AWarmScanInAnotherZoneGivesThatZonesDates) {
  // A date without a zone, kept by a scan at home and found by one abroad.
  writeFile(home.pictures() / "trip.jpg", *inventory::encodeJpeg(halves(400, 300), 90));
  writeFile(
      home.pictures() / "trip.xmp",
      R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
      R"(<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:CreateDate="2021-06-01T10:00:00"/>)"
      R"(</rdf:RDF></x:xmpmeta>)");
  letTheLibrarySettle();
  const Scan atHome = scan(true, "UTC");
  EXPECT_EQ(recordOf(atHome, "trip.jpg")["created"], 1622541600.0);
  const Scan expected = scan(false, "JST-9");
  EXPECT_EQ(recordOf(expected, "trip.jpg")["created"], 1622541600.0 - 9 * 3600);
  expectSame(scan(true, "JST-9"), expected);
}

// The library seen through bindfs with sshfs's rule for change times
// (equal to the modification time), unmounted at the end.
class FuseMount {
 public:
  FuseMount(const fs::path& real, const fs::path& at) : at_(at) {
    const std::string command = "bindfs --ctime-from-mtime -o nonempty '" + real.string() + "' '" +
                                at.string() + "' >/dev/null 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~FuseMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST_F(ScanCacheEndToEnd, OnAFuseMountAnEditThatKeepsSizeAndTimesIsSeen) {
  if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0 ||
      std::system("command -v bindfs >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root, /dev/fuse and bindfs";
  }
  const fs::path real = home.scratch() / "real";
  // A byte after the picture's end: the edit changes the fingerprint only.
  const std::string photo = *inventory::encodeJpeg(halves(400, 300), 90) + "1";
  writeFile(real / "a.jpg", photo);
  fs::copy_file(testdata() / "photos/jpeg/london.jpg", real / "b.jpg");
  const FuseMount mount(real, home.pictures());
  if (!mount.mounted()) GTEST_SKIP() << "bindfs cannot mount here";
  letTheLibrarySettle();
  const Scan before = scan(true);

  // A camera-clock fix that keeps size and modification time (exiftool -P).
  struct stat status {};
  ASSERT_EQ(::stat((real / "a.jpg").c_str(), &status), 0);
  {
    std::fstream file(real / "a.jpg", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(photo.size() - 1));
    file.put('2');
  }
  const timespec times[2] = {status.st_atim, status.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (real / "a.jpg").c_str(), times, 0), 0);
  letTheLibrarySettle();

  const Scan expected = scan(false);
  EXPECT_NE(recordOf(expected, "a.jpg")["hash"], recordOf(before, "a.jpg")["hash"]);
  expectSame(scan(true), expected);
}

}  // namespace
}  // namespace velmora::testing
