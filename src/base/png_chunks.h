#pragma once
// A look at a PNG's chunk layout before a decoder sees it. libpng trusts a
// chunk's declared length: a 57-byte file whose text chunk claims 2 GB
// keeps it reading and allocating for seconds and a gigabyte. Such a file
// is broken beyond any use, so it is refused before decoding.
#include <cstddef>
#include <string>

namespace velmora::base {

// False for a PNG in which a chunk other than image data declares more bytes
// than the file holds after it, or more than PNG allows (2^31 - 1). True
// for anything else, other formats included; a PNG cut off inside its
// image data stays for the decoder to judge.
bool pngChunksFit(const void* data, std::size_t size);
bool pngChunksFitFile(const std::string& path);
// The same for a regular file already open for reading; its position is
// left where it was.
bool pngChunksFitDescriptor(int fd);

}  // namespace velmora::base
