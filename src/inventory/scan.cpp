#include "inventory/scan.h"

namespace velmora::inventory {

int scanAction(const bridge::Arguments&, photos::PhotoLibrary&, const bridge::Emitter& emit) {
  emit(bridge::errorMessage("Fotomediathek-Inventur noch nicht verfügbar"));
  return 1;
}

}  // namespace velmora::inventory
