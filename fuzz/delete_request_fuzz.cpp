// The delete request as the action reads it, against the real library on
// disk in a temporary folder that holds a symlinked folder and a relative
// path leading outside. Deletion itself is replaced by a check: whatever the
// request says, every file the change would move lies inside the library,
// below real folders, and the run writes exactly one line.
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "bridge/emit.h"
#include "bridge/photos/disk_library.h"
#include "deletion/delete_action.h"
#include "fuzz_file.h"
#include "support/forwarding_library.h"

namespace fs = std::filesystem;
using namespace velmora;

namespace {

fs::path base;  // holds library/ and outside/
fs::path libraryRoot;

void put(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
}

void makeLibrary() {
  char folder[] = "/tmp/velmora-fuzz-XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  base = folder;
  libraryRoot = base / "library";
  const std::string rated =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
      "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"5\"/></rdf:RDF></x:xmpmeta>";
  put(libraryRoot / "DCIM/IMG_0001.jpg", "one");
  put(libraryRoot / "DCIM/IMG_0001.MOV", "live");
  put(libraryRoot / "DCIM/IMG_0001.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
  put(libraryRoot / "b.png", "two");
  put(libraryRoot / "Caf\xE9.jpg", "three");
  put(libraryRoot / "fav.jpg", "four");
  put(libraryRoot / "fav.xmp", rated);
  put(libraryRoot / ".hidden/h.jpg", "hidden");
  put(base / "outside/secret.jpg", "secret");
  fs::create_directory_symlink("../outside", libraryRoot / "escape");
  fs::create_symlink(base / "outside/secret.jpg", libraryRoot / "DCIM/linked.jpg");
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  });
}

// Everything but the change itself goes to the real library.
class CheckedLibrary final : public velmora::testing::ForwardingLibrary {
 public:
  explicit CheckedLibrary(photos::PhotoLibrary& real) : ForwardingLibrary(real) {}
  std::optional<photos::RgbImage> requestImage(const photos::Asset&, std::uint32_t,
                                               std::uint32_t) override {
    return std::nullopt;
  }
  photos::ChangeResult deleteAssets(const std::vector<photos::Asset>& assets,
                                    const photos::ChangeCheck& = {}) override {
    if (assets.empty()) std::abort();
    const std::string prefix = libraryRoot.string() + "/";
    for (const photos::Asset& asset : assets) {
      if (asset.resources.empty()) std::abort();
      for (const photos::Resource& resource : asset.resources) {
        const fs::path location(resource.location);
        if (!resource.location.starts_with(prefix) || location.lexically_normal() != location) {
          std::abort();
        }
        // The folder holding the file is a real folder inside the library:
        // no symlinked folder on the way.
        char resolved[PATH_MAX];
        if (::realpath(location.parent_path().c_str(), resolved) == nullptr) std::abort();
        if ((std::string(resolved) + "/").rfind(prefix, 0) != 0) std::abort();
        if (resource.location.find("/.") != std::string::npos) std::abort();
      }
    }
    return {assets.size() % 2 == 1, std::nullopt};
  }
};

class AnswerByCount final : public deletion::Confirmation {
 public:
  bool confirm(unsigned long count) override { return count % 3 != 0; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::prepareProcess();
  makeLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  photos::DiskLibrary disk(libraryRoot);
  CheckedLibrary library(disk);
  AnswerByCount confirmation;
  int lines = 0;
  bool lastIsError = false;
  const bridge::Arguments arguments{"velmora-bridge", "delete", fuzz::asFile(data, size)};
  const int status = deletion::deleteAction(
      arguments, library,
      [&](const bridge::Json& line) {
        ++lines;
        lastIsError = line.contains("error");
      },
      confirmation);
  if (lines != 1 || (status == 1) != lastIsError || (status != 0 && status != 1)) std::abort();
  return 0;
}
