#pragma once
#include "bridge/arguments.h"
#include "bridge/emit.h"

namespace velmora::qr {

// `qr <image>`: one line {"qr", "qr_checked"}. Returns the exit status.
int qrAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

// `qr-folder <folder>`: progress per *.jpg entry, then {"items": [...]}.
int qrFolderAction(const bridge::Arguments& arguments, const bridge::Emitter& emit);

}  // namespace velmora::qr
