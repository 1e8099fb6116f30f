#include "bridge/dispatch.h"

#include "base/ordered_work.h"
#include "bridge/messages.h"
#include "deletion/delete_action.h"
#include "inventory/scan.h"
#include "qr/qr_actions.h"
#include "semantic/semantic_action.h"

namespace velmora::bridge {

namespace {

using HeadlessAction = int (*)(const Arguments&, const Emitter&);

struct HeadlessWord {
  const char* word;
  HeadlessAction action;
};

// Checked in this order; the words are compared exactly, case included.
constexpr HeadlessWord headlessWords[] = {
    {"qr-folder", qr::qrFolderAction},
    {"semantic", semantic::semanticAction},
    {"qr", qr::qrAction},
};

}  // namespace

int work(const Arguments& arguments, Services& services) {
  if (arguments.size() < 3) {
    services.emit(errorMessage(messages::callIncomplete));
    return 1;
  }
  const std::string& word = arguments[1];
  for (const HeadlessWord& headless : headlessWords) {
    if (word == headless.word) return headless.action(arguments, services.emit);
  }

  std::unique_ptr<photos::PhotoLibrary> library = services.openLibrary();
  if (!library || !library->authorize()) {
    services.emit(errorMessage(messages::libraryAccessMissing));
    return 1;
  }
  // A change that a killed run left half done is put back before anything
  // looks at the library.
  library->finishInterruptedChange();
  if (word == "scan") {
    const std::unique_ptr<inventory::ScanCache> cache =
        inventory::openScanCache(services.cacheFolder);
    return inventory::scanAction(arguments, *library, services.emit, base::onlineProcessors(),
                                 cache.get());
  }
  if (word == "delete") {
    return deletion::deleteAction(arguments, *library, services.emit, services.mainThread);
  }
  services.emit(errorMessage(messages::unknownAction));
  return 1;
}

}  // namespace velmora::bridge
