#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/main_thread.h"
#include "bridge/photos/library.h"

namespace velmora::bridge {

struct Services {
  Emitter emit;
  std::function<std::unique_ptr<photos::PhotoLibrary>()> openLibrary;
  MainThread* mainThread = nullptr;  // null in headless mode
  // Where results that outlive a run are kept (the scan cache); none: kept
  // nowhere.
  std::optional<std::filesystem::path> cacheFolder;
};

// The dispatcher: checks the arguments, hands headless words to their
// actions, asks for library access, then runs scan or delete. Returns the
// exit status the run decided: 0 after a success line, 1 after an error line.
int work(const Arguments& arguments, Services& services);

}  // namespace velmora::bridge
