# Run at build time (cmake -P): writes OUTPUT, a C++ file that defines the
# bridge's version and a hash over every source file that shapes a scan
# record, so that a record kept by one build is never taken for another's.
#
#   -DSOURCE_DIR=<repository> -DOUTPUT=<file.cpp> -DVERSION=<project version>
#   -DFOLDERS=<folders below src/, separated by ";">
set(listing "")
foreach(folder IN LISTS FOLDERS)
  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/src/${folder}/*")
  list(APPEND listing ${files})
endforeach()
list(SORT listing)
list(REMOVE_DUPLICATES listing)
set(text "")
foreach(file IN LISTS listing)
  file(SHA256 "${SOURCE_DIR}/${file}" hash)
  string(APPEND text "${file} ${hash}\n")
endforeach()
string(SHA256 stamp "${text}")

file(WRITE "${OUTPUT}.new"
  "// Written by cmake/SourceStamp.cmake when the sources change.\n"
  "#include \"base/build_stamp.h\"\n\n"
  "namespace velmora::base {\n\n"
  "const char* const bridgeVersion = \"${VERSION}\";\n"
  "const char* const sourceStamp = \"${stamp}\";\n\n"
  "}  // namespace velmora::base\n")
# Unchanged contents keep the file's time, so nothing is rebuilt for it.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
