#pragma once
// Owning libvips objects (images, sources, regions) in C++ scopes.
#include <vips/vips.h>

#include <utility>

namespace velmora::base {

// Owns one reference to a libvips object and drops it when it goes.
template <typename T>
class VipsRef {
 public:
  VipsRef() = default;
  explicit VipsRef(T* object) : object_(object) {}
  ~VipsRef() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  VipsRef(const VipsRef&) = delete;
  VipsRef& operator=(const VipsRef&) = delete;

  T* get() const { return object_; }
  // Where an operation writes its result.
  T** out() { return &object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Replaces the object by the result of the next operation.
  void take(VipsRef& next) { std::swap(object_, next.object_); }

 private:
  T* object_ = nullptr;
};

// Whether the file's first bytes are those of a format we decode (JPEG, PNG,
// GIF, WebP, TIFF, HEIF/AVIF). Everything else is no picture: libvips would
// otherwise try its other loaders, some of which read a large file whole.
bool startsLikeDecodableImage(int fd);

// A source reading the open regular file `fd` (libvips keeps a descriptor of
// its own; `fd` stays the caller's). Null for an empty file, which holds no
// picture and on which libvips 8.14 aborts the process instead of failing,
// and for a file that does not start like a decodable image.
VipsSource* sourceFromDescriptor(int fd);

}  // namespace velmora::base
