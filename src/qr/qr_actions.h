#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"

namespace velmora::qr {

// `qr <image>`: one line {"qr", "qr_checked"}. Returns the exit status.
int qrAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

// `qr-folder <folder>`: progress per *.jpg entry, then {"items": [...]}.
// Looks at one picture per online processor at a time; the output is the
// same as one picture after another.
int qrFolderAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

// The same with a given number of workers (at least one is used).
int qrFolderAction(const bridge::Arguments& arguments, const bridge::Emitter& emit,
                   unsigned workers);

}  // namespace velmora::qr
