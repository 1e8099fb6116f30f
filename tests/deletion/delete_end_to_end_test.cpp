// `velmora-bridge delete` end to end: the built executable on a temporary
// library in a home of its own, its trash read the way file managers read it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <future>
#include <map>
#include <vips/vips8>

#include "bridge/messages.h"
#include "bridge/photos/disk_library.h"
#include "base/vips.h"
#include "deletion/x_display.h"
#include "inventory/fingerprint.h"
#include "support/sample_files.h"
#include "support/file_flags.h"
#include "support/bridge_runner.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
namespace messages = bridge::messages;
using nlohmann::json;

const char* const favoriteXmp =
    R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF )"
    R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" )"
    R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/></rdf:RDF></x:xmpmeta>)";

// A library with the usual shapes: a photo with its paired video, RAW
// partner and sidecar; plain photos; a favourite; one whose bytes live
// elsewhere (a dangling link); and, beside the library, a folder a symlink
// inside it points to.
struct SampleLibrary {
  TestHome home;
  fs::path pictures = home.pictures();

  SampleLibrary() {
    writeFlatJpeg(pictures / "2023" / "IMG_0001.JPG", 10, 24, 16);
    writeFile(pictures / "2023" / "IMG_0001.MOV", "paired video bytes");
    writeFile(pictures / "2023" / "IMG_0001.DNG", "raw bytes");
    writeFile(pictures / "2023" / "IMG_0001.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
    writeFlatJpeg(pictures / "2023" / "IMG_0002.JPG", 20, 24, 16);
    writeFlatJpeg(pictures / "2023" / "IMG_0003.JPG", 30, 24, 16);
    writeFile(pictures / "2023" / "IMG_0003.xmp", favoriteXmp);
    fs::create_symlink("../.git/annex/objects/elsewhere", pictures / "2023" / "IMG_0005.JPG");
    writeFlatJpeg(pictures / "Urlaub" / "Strand ä.jpg", 40, 24, 16);
    writeFlatJpeg(home.home() / "outside" / "IMG_0009.JPG", 50, 24, 16);
    fs::create_symlink(home.home() / "outside", pictures / "linked");
  }

  fs::path trash() const { return home.home() / ".local" / "share" / "Trash"; }

  std::string fingerprint(const std::string& id) const {
    photos::DiskLibrary library(pictures);
    const std::vector<photos::Asset> found = library.fetchByIdentifiers({id});
    if (found.empty()) return "";
    std::uint64_t size = 0;
    return inventory::resourceHash(library, found.front(), size).value_or("");
  }

  fs::path request(const std::string& text) const {
    const fs::path file = home.scratch() / "request.json";
    writeFile(file, text);
    return file;
  }
};

// Everything below `root` (caches aside): files by size and digest of their
// bytes, symlinks by their targets, folders as such.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string name = fs::relative(it->path(), root).string();
    if (name == ".cache") {
      it.disable_recursion_pending();
    } else if (it->is_symlink()) {
      entries[name] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      entries[name] = "<folder>";
    } else {
      const std::string bytes = readFile(it->path());
      entries[name] = std::to_string(bytes.size()) + " bytes, " +
                      std::to_string(std::hash<std::string>{}(bytes));
    }
  }
  return entries;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The trash as a file manager lists it: original path -> file in files/.
std::map<fs::path, fs::path> trashContents(const fs::path& trash) {
  std::map<fs::path, fs::path> contents;
  if (!fs::exists(trash / "info")) return contents;
  for (const auto& item : fs::directory_iterator(trash / "info")) {
    const std::string text = readFile(item.path());
    const size_t start = text.find("\nPath=");
    if (start == std::string::npos) continue;
    const size_t end = text.find('\n', start + 6);
    contents[unescape(text.substr(start + 6, end - start - 6))] =
        trash / "files" / item.path().stem();
  }
  return contents;
}

void expectSingleLine(const BridgeRun& run, int status, const json& line) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, status);
  EXPECT_TRUE(run.allLinesParsed) << run.out;
  ASSERT_EQ(run.lines.size(), 1u) << run.out;
  EXPECT_EQ(run.lines[0], line);
  EXPECT_EQ(run.err, "");
}

TEST(DeleteEndToEnd, RejectedRequestsLeaveEveryFileWhereItWas) {
  SampleLibrary sample;
  const std::string one = sample.fingerprint("2023/IMG_0001.JPG");
  std::string upper = one;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(one.size(), 64u) << "the library does not find its own assets";
  const std::string library = sample.pictures.string();

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"kein JSON", messages::selectionInvalid},
      {R"({"ids": []})", messages::selectionInvalid},
      {R"({"ids": "2023/IMG_0002.JPG"})", messages::selectionInvalid},
      {R"({"checks": []})", messages::selectionInvalid},
      {R"([{"ids": ["2023/IMG_0002.JPG"]}])", messages::selectionInvalid},
      {R"({"ids": ["2023/IMG_0002.JPG"], "checks": null})", messages::selectionInvalid},
      {R"({"ids": ["2023/IMG_0002.JPG", "2023/IMG_0404.JPG"]})", messages::selectionChanged},
      {R"({"ids": ["../outside/IMG_0009.JPG"]})", messages::selectionChanged},
      {R"({"ids": [")" + library + R"(/2023/IMG_0002.JPG"]})", messages::selectionChanged},
      {R"({"ids": [")" + sample.home.home().string() + R"(/outside/IMG_0009.JPG"]})",
       messages::selectionChanged},
      {R"({"ids": ["linked/IMG_0009.JPG"]})", messages::selectionChanged},
      {R"({"ids": ["2023/../2023/IMG_0002.JPG"]})", messages::selectionChanged},
      {R"({"ids": ["./2023/IMG_0002.JPG"]})", messages::selectionChanged},
      {R"({"ids": ["2023//IMG_0002.JPG"]})", messages::selectionChanged},
      {R"({"ids": ["2023/IMG_0002.JPG\u0000.txt"]})", messages::selectionChanged},
      {R"({"ids": ["2023/IMG_0001.MOV"]})", messages::selectionChanged},
      {R"({"ids": ["2023"]})", messages::selectionChanged},
      {R"({"ids": ["2023/IMG_0002.JPG", "2023/IMG_0003.JPG"],
           "checks": [{"id": "2023/IMG_0002.JPG", "hash": "0"}]})",
       messages::selectionHasFavorite},
      {R"({"ids": ["2023/IMG_0001.JPG"], "checks": [{"id": "2023/IMG_0001.JPG", "hash": ")" +
           upper + R"("}]})",
       messages::duplicateCheckChanged},
      {R"({"ids": ["2023/IMG_0001.JPG"], "checks": [{"id": "2023/IMG_0001.JPG"}]})",
       messages::duplicateCheckChanged},
      {R"({"ids": ["2023/IMG_0001.JPG"], "checks": [{"id": "2023/IMG_0001.JPG", "hash": ")" + one +
           R"("}, {"id": "2023/IMG_0404.JPG", "hash": ")" + one + R"("}]})",
       messages::duplicateCheckChanged},
      {R"({"ids": ["2023/IMG_0005.JPG"], "checks": [{"id": "2023/IMG_0005.JPG", "hash": ")" + one +
           R"("}]})",
       messages::duplicateCheckChanged},
      // Two assets need the user's yes, and without a display nobody can say it.
      {R"({"ids": ["2023/IMG_0001.JPG", "2023/IMG_0002.JPG"]})", messages::cancelled},
  };
  const std::map<std::string, std::string> before = snapshot(sample.home.home());
  for (const auto& [request, expected] : cases) {
    SCOPED_TRACE(request);
    const BridgeRun run = runBridge({"delete", sample.request(request).string()}, sample.home);
    expectSingleLine(run, 1, json{{"error", expected}});
    EXPECT_EQ(snapshot(sample.home.home()), before);
  }
}

TEST(DeleteEndToEnd, OneAssetGoesToTheTrashWithAllItsFilesAndComesBack) {
  SampleLibrary sample;
  const std::map<std::string, std::string> before = snapshot(sample.pictures);
  const std::string one = sample.fingerprint("2023/IMG_0001.JPG");
  const BridgeRun run =
      runBridge({"delete", sample
                               .request(R"({"ids": ["2023/IMG_0001.JPG"], "checks": [{"id": )"
                                        R"("2023/IMG_0001.JPG", "hash": ")" +
                                        one + R"("}]})")
                               .string()},
                sample.home);
  expectSingleLine(run, 0, json{{"moved", 1}, {"errors", json::array()}});

  const std::map<fs::path, fs::path> trash = trashContents(sample.trash());
  std::map<std::string, std::string> expectedLeft = before;
  for (const char* name : {"IMG_0001.JPG", "IMG_0001.MOV", "IMG_0001.DNG", "IMG_0001.xmp"}) {
    const fs::path original = sample.pictures / "2023" / name;
    expectedLeft.erase(fs::relative(original, sample.pictures).string());
    EXPECT_FALSE(fs::exists(original)) << name;
    ASSERT_TRUE(trash.contains(original)) << name;
    const std::string bytes = readFile(trash.at(original));
    EXPECT_EQ(before.at(std::string("2023/") + name),
              std::to_string(bytes.size()) + " bytes, " +
                  std::to_string(std::hash<std::string>{}(bytes)));
  }
  EXPECT_EQ(trash.size(), 4u);
  EXPECT_EQ(snapshot(sample.pictures), expectedLeft);

  // Restored the way a file manager does it, the library is whole again.
  for (const auto& [original, trashed] : trash) {
    fs::rename(trashed, original);
    fs::remove(sample.trash() / "info" / (trashed.filename().string() + ".trashinfo"));
  }
  EXPECT_EQ(snapshot(sample.pictures), before);
  EXPECT_EQ(sample.fingerprint("2023/IMG_0001.JPG"), one);
}


TEST(DeleteEndToEnd, AFileThatCannotBeMovedLeavesTheLibraryAsItWas) {
  struct Case {
    const char* what;
    std::function<bool(const SampleLibrary&)> block;
    std::function<void(const SampleLibrary&)> unblock;
    std::string errorStart;
  };
  const fs::path blocked = fs::path("2023") / "IMG_0001.MOV";
  const std::vector<Case> cases = {
      {"a resource that cannot be renamed",
       [&](const SampleLibrary& s) { return setImmutable(s.pictures / blocked, true); },
       [&](const SampleLibrary& s) { setImmutable(s.pictures / blocked, false); },
       "„IMG_0001.MOV“ konnte nicht in den Papierkorb verschoben werden"},
      {"a trash that cannot be made",
       [](const SampleLibrary& s) {
         writeFile(s.trash() / "files", "no folder");
         return true;
       },
       [](const SampleLibrary&) {}, "„IMG_0001."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SampleLibrary sample;
    if (!c.block(sample)) {
      c.unblock(sample);
      continue;  // this file system cannot make a file immutable
    }
    const std::map<std::string, std::string> before = snapshot(sample.pictures);
    const BridgeRun run = runBridge(
        {"delete", sample.request(R"({"ids": ["2023/IMG_0001.JPG"]})").string()}, sample.home);
    c.unblock(sample);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.lines.size(), 1u) << run.out;
    EXPECT_EQ(run.lines[0].value("error", "").rfind(c.errorStart, 0), 0u) << run.out;
    EXPECT_EQ(snapshot(sample.pictures), before);
    // The trash may have been set up on the way, but holds nothing.
    EXPECT_TRUE(trashContents(sample.trash()).empty());
    if (fs::is_directory(sample.trash() / "files")) {
      EXPECT_TRUE(fs::is_empty(sample.trash() / "files"));
    }
  }
}

// The alert on a display of the test's own: only "Aus Fotos löschen"
// deletes.
TEST(DeleteEndToEnd, TwoAssetsGoOnlyWhenTheUserChoosesDelete) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> answer;  // xdotool commands
    bool deletes;
  };
  const std::vector<Case> cases = {
      {"Return", {{"key", "Return"}}, true},
      {"Escape", {{"key", "Escape"}}, false},
      {"Abbrechen by keyboard", {{"key", "Tab"}, {"key", "Return"}}, false},
      {"window closed", {{"search", "--onlyvisible", "--name", "^Velmora$", "windowclose"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XDisplay display;
    if (display.name().empty()) GTEST_SKIP() << "no X server (Xvfb) could be started";
    SampleLibrary sample;
    const std::map<std::string, std::string> before = snapshot(sample.home.home());
    RunOptions options;
    options.environment = sample.home.environment();
    options.environment["DISPLAY"] = display.name();
    options.timeoutSeconds = 60;
    const fs::path request =
        sample.request(R"({"ids": ["2023/IMG_0002.JPG", "Urlaub/Strand ä.jpg"]})");
    std::future<BridgeRun> running = std::async(std::launch::async, [&] {
      return runBridge({"delete", request.string()}, options);
    });

    const std::optional<std::string> window = display.waitForWindow("Velmora", 30);
    EXPECT_TRUE(window) << "the alert did not appear";
    if (window) {
      // It comes to the front with the keyboard focus by itself.
      std::optional<std::string> focus;
      for (int i = 0; i < 50 && focus != window; ++i) {
        focus = display.xdotool({"getwindowfocus", "-f"});
        if (focus != window) usleep(100'000);
      }
      EXPECT_EQ(focus, window);
      for (const auto& command : c.answer) display.xdotool(command);
    }
    const BridgeRun run = running.get();
    if (c.deletes) {
      expectSingleLine(run, 0, json{{"moved", 2}, {"errors", json::array()}});
      EXPECT_FALSE(fs::exists(sample.pictures / "2023" / "IMG_0002.JPG"));
      EXPECT_FALSE(fs::exists(sample.pictures / "Urlaub" / "Strand ä.jpg"));
      EXPECT_EQ(trashContents(sample.trash()).size(), 2u);
    } else {
      expectSingleLine(run, 1, json{{"error", messages::cancelled}});
      EXPECT_EQ(snapshot(sample.home.home()), before);
    }
  }
}

}  // namespace
}  // namespace velmora::testing
