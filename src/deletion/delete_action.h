#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/main_thread.h"
#include "bridge/photos/library.h"
#include "deletion/confirmation.h"

namespace velmora::deletion {

// `delete <request.json>`: verifies the selection, asks the user on the main
// thread when two or more assets are involved, then deletes in one change.
// `mainThread` may be null (no main loop). Returns the exit status.
int deleteAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                 const bridge::Emitter& emit, bridge::MainThread* mainThread);

// The same with the question put to `confirmation`. Writes exactly one line:
// the success line or an error message.
int deleteAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
                 const bridge::Emitter& emit, Confirmation& confirmation);

}  // namespace velmora::deletion
