#include "bridge/photos/location.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_dir.h"

namespace velmora::photos {
namespace {

namespace fs = std::filesystem;

class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Location, PicturesFolderFromUserDirsOrHome) {
  testing::TempDir dir;
  const fs::path home = dir / "home";
  ScopedEnvironment homeVariable("HOME", home.string());
  ScopedEnvironment configVariable("XDG_CONFIG_HOME", (dir / "config").string());

  EXPECT_EQ(picturesFolder(), home / "Pictures");

  const struct {
    std::string file;
    std::optional<fs::path> expected;
  } cases[] = {
      {"XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", home / "Bilder"},
      {"XDG_PICTURES_DIR=\"$HOME/Meine Bilder/\"\n", home / "Meine Bilder"},
      {"XDG_PICTURES_DIR=\"/srv/fotos\"\n", fs::path("/srv/fotos")},
      {"XDG_PICTURES_DIR=\"$HOME/a\"\nXDG_PICTURES_DIR=\"$HOME/b\"\n", home / "b"},
      {"  # XDG_PICTURES_DIR=\"$HOME/kommentar\"\n", home / "Pictures"},
      {"XDG_PICTURES_DIR=\"$HOME/Fo\\\"to\"\n", home / "Fo\"to"},
      {"XDG_PICTURES_DIR=\"$HOME\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"$HOME/\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"" + home.string() + "\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"relativ\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"$HOMEBilder\"\n", std::nullopt},
  };
  for (const auto& c : cases) {
    testing::writeFile(dir / "config" / "user-dirs.dirs", c.file);
    EXPECT_EQ(picturesFolder(), c.expected) << c.file;
  }
}

}  // namespace
}  // namespace velmora::photos
