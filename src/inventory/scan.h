#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/photos/library.h"

namespace velmora::inventory {

// `scan <preview folder>`: one record per asset of the library, previews
// written into the folder. Returns the exit status.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit);

}  // namespace velmora::inventory
