#include "base/loaded_library.h"

#include <link.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace velmora::base {

namespace {

struct Search {
  std::string_view soname;
  std::string path;
};

int visit(dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  const std::string_view name = info->dlpi_name == nullptr ? "" : info->dlpi_name;
  const std::size_t slash = name.rfind('/');
  const std::string_view file = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (!file.starts_with(search->soname)) return 0;
  search->path = name;
  return 1;
}

}  // namespace

std::string loadedLibraryFile(std::string_view soname) {
  Search search{soname, {}};
  if (soname.empty() || dl_iterate_phdr(visit, &search) == 0) return {};
  char real[PATH_MAX];
  if (::realpath(search.path.c_str(), real) == nullptr) return search.path;
  struct stat status {};
  if (::stat(real, &status) != 0) return real;
  return std::string(real) + " " + std::to_string(status.st_size) + " " +
         std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

}  // namespace velmora::base
