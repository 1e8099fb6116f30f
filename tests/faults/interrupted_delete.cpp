#include "faults/interrupted_delete.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <map>
#include <set>


namespace velmora::testing {

namespace fs = std::filesystem;

namespace {

std::string stemOf(const std::string& name) { return name.substr(0, name.find('.')); }

}  // namespace

ThreePartLibrary::ThreePartLibrary(int assets) : assets_(assets) {
  for (int i = 0; i < assets; ++i) {
    const std::string stem = "IMG_" + std::to_string(1000 + i);
    // Bytes are never looked at by a delete without checks.
    writeFile(home_.pictures() / (stem + ".JPG"), "photo " + stem);
    writeFile(home_.pictures() / (stem + ".MOV"), "video " + stem);
    writeFile(home_.pictures() / (stem + ".xmp"), "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
  }
  // Present from the start, so that they can be watched.
  fs::create_directories(trash() / "files");
  fs::create_directories(trash() / "info");
  fs::create_directories(journal().parent_path());
}

fs::path ThreePartLibrary::trash() const { return home_.home() / ".local/share/Trash"; }

fs::path ThreePartLibrary::journal() const {
  return home_.home() / ".local/share/velmora-bridge/change.journal";
}

fs::path ThreePartLibrary::requestAll() const {
  std::string ids;
  for (int i = 0; i < assets_; ++i) {
    ids += std::string(i > 0 ? ", " : "") + "\"IMG_" + std::to_string(1000 + i) + ".JPG\"";
  }
  const fs::path file = home_.scratch() / "all.json";
  writeFile(file, "{\"ids\": [" + ids + "]}");
  return file;
}

Interruption interruptDelete(const ThreePartLibrary& library, const XDisplay& display, int events,
                             int signal) {
  Interruption result;
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  for (const fs::path& folder : {library.trash() / "files", library.trash() / "info",
                                 library.journal().parent_path()}) {
    ::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
  }
  std::atomic<pid_t> pid{0};
  RunOptions options;
  options.environment = library.home().environment();
  options.environment["DISPLAY"] = display.name();
  options.timeoutSeconds = 120;
  options.started = [&](pid_t child) { pid = child; };
  const fs::path request = library.requestAll();
  std::future<BridgeRun> running =
      std::async(std::launch::async, [&] { return runBridge({"delete", request.string()}, options); });

  if (display.waitForWindow("Velmora", 30)) {
    result.confirmed = display.xdotool({"key", "Return"}).has_value();
  }
  int seen = 0;
  alignas(inotify_event) char buffer[65536];
  while (seen < events &&
         running.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    pollfd ready{watch, POLLIN, 0};
    if (::poll(&ready, 1, 5) <= 0) continue;
    const ssize_t got = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      // The lock file is opened, never created again; only the change counts.
      if (event->len > 0 && std::string(event->name) == "lock") continue;
      ++seen;
    }
  }
  if (seen >= events && pid != 0 &&
      running.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    result.signalled = ::kill(pid, signal) == 0;
  }
  result.run = running.get();
  ::close(watch);
  return result;
}

BridgeRun nextRun(const ThreePartLibrary& library) {
  const fs::path request = library.home().scratch() / "nothing.json";
  writeFile(request, R"({"ids": ["IMG_9999.JPG"]})");
  return runBridge({"delete", request.string()}, library.home());
}

LibraryState inspect(const ThreePartLibrary& library) {
  LibraryState state;
  std::map<std::string, int> inLibrary;
  std::map<std::string, int> inTrash;
  for (const auto& entry : fs::directory_iterator(library.home().pictures())) {
    ++inLibrary[stemOf(entry.path().filename().string())];
  }
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(library.trash() / "files")) {
    files.insert(entry.path().filename().string());
  }
  for (const auto& entry : fs::directory_iterator(library.trash() / "info")) {
    const std::string name = entry.path().stem().string();
    if (files.erase(name) == 0) {
      ++state.strayRecords;
      continue;
    }
    ++inTrash[stemOf(name)];
  }
  state.strayRecords += static_cast<int>(files.size());
  for (int i = 0; i < library.assets(); ++i) {
    const std::string stem = "IMG_" + std::to_string(1000 + i);
    const int here = inLibrary[stem];
    const int there = inTrash[stem];
    if (here == 3 && there == 0) {
      ++state.whole;
    } else if (here == 0 && there == 3) {
      ++state.trashed;
    } else {
      ++state.half;
    }
  }
  state.journalLeft = fs::exists(fs::symlink_status(library.journal()));
  return state;
}

}  // namespace velmora::testing
