#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/photos/library.h"

namespace velmora::inventory {

// `scan <preview folder>`: one record per asset of the library, previews
// written into the folder. Returns the exit status.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit);

// The same with a given number of workers (at least one is used). The output
// does not depend on it; the action above uses one per online processor.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers);

}  // namespace velmora::inventory
