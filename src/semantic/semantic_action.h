#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"

namespace velmora::semantic {

// `semantic <request.json>`: labels for each listed preview image.
// Returns the exit status.
int semanticAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

}  // namespace velmora::semantic
