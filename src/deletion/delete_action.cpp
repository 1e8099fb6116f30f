#include "deletion/delete_action.h"

namespace velmora::deletion {

int deleteAction(const bridge::Arguments&, photos::PhotoLibrary&, const bridge::Emitter& emit,
                 bridge::MainThread*) {
  emit(bridge::errorMessage("Löschen noch nicht verfügbar"));
  return 1;
}

}  // namespace velmora::deletion
