# Every dependency is a Debian package; scripts/setup.sh installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(VIPS REQUIRED IMPORTED_TARGET vips-cpp)
pkg_check_modules(ZXING REQUIRED IMPORTED_TARGET zxing)
pkg_check_modules(ZBAR REQUIRED IMPORTED_TARGET zbar)
pkg_check_modules(EXIV2 REQUIRED IMPORTED_TARGET exiv2)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
pkg_check_modules(GTK REQUIRED IMPORTED_TARGET gtk+-3.0 gio-2.0 glib-2.0)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET libcrypto)
# LibRaw's thread-safe build. Its pkg-config file also asks for -fopenmp,
# which only its own sensor decoding uses (never called here); the library
# brings its OpenMP runtime itself, and clang would add a second one.
pkg_check_modules(LIBRAW REQUIRED libraw_r)
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
# The worker processes' system-call filter.
pkg_check_modules(SECCOMP REQUIRED IMPORTED_TARGET libseccomp)

# Debian ships OpenCV's modules without a CMake package unless the whole
# libopencv-dev is installed; the three we use are found directly.
find_path(OPENCV_INCLUDE_DIR opencv2/dnn.hpp PATH_SUFFIXES opencv4 REQUIRED)
find_library(OPENCV_CORE_LIB opencv_core REQUIRED)
find_library(OPENCV_IMGPROC_LIB opencv_imgproc REQUIRED)
find_library(OPENCV_DNN_LIB opencv_dnn REQUIRED)
find_path(NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp REQUIRED)

add_library(velmora_deps INTERFACE)
# Third-party headers are system headers: their warnings are not ours.
target_include_directories(velmora_deps SYSTEM INTERFACE
  ${OPENCV_INCLUDE_DIR} ${NLOHMANN_JSON_INCLUDE_DIR})
target_link_libraries(velmora_deps INTERFACE
  PkgConfig::VIPS PkgConfig::ZXING PkgConfig::ZBAR PkgConfig::EXIV2
  PkgConfig::FFMPEG PkgConfig::GTK PkgConfig::OPENSSL PkgConfig::SQLITE ${LIBRAW_LINK_LIBRARIES}
  ${OPENCV_DNN_LIB} ${OPENCV_IMGPROC_LIB} ${OPENCV_CORE_LIB}
  PkgConfig::SECCOMP Threads::Threads)
