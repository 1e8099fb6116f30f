#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"
#include "bridge/photos/library.h"
#include "inventory/scan_cache.h"

namespace velmora::inventory {

// `scan <preview folder>`: one record per asset of the library, previews
// written into the folder. Returns the exit status.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit);

// The same with a given number of workers (at least one is used). The output
// does not depend on it; the action above uses one per online processor.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers);

// The same with a scan cache (none when null): an asset whose files are as
// they were when its findings were kept gets them back instead of being
// read, decoded and measured; the lines and preview files are the same
// either way. At the end, entries of assets this scan did not meet go.
int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers, ScanCache* cache);

}  // namespace velmora::inventory
