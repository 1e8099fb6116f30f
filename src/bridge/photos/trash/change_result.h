#pragma once
#include <optional>
#include <string>

namespace velmora::photos {

struct ChangeResult {
  bool succeeded = false;
  std::optional<std::string> errorDescription;  // set only on failure, may be absent
  // Failed because an asset is gone or holds other files than the ones
  // handed in: the selection changed since it was checked.
  bool selectionChanged = false;
};

}  // namespace velmora::photos
