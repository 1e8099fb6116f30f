#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/main_thread.h"
#include "bridge/photos/library.h"

namespace velmora::deletion {

// `delete <request.json>`: verifies the selection, asks the user on the main
// thread when two or more assets are involved, then deletes in one change.
// `mainThread` may be null (no main loop). Returns the exit status.
int deleteAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                 const bridge::Emitter& emit, bridge::MainThread* mainThread);

}  // namespace velmora::deletion
