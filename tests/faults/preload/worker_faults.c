/* Faults for the worker processes, injected from outside the shipped
 * program: the tests start the bridge with this library preloaded, and its
 * workers inherit it. When a worker maps a file for parsing and the file
 * starts with "FAULT:<kind>\n", the worker misbehaves as a hostile file
 * could make it:
 *   segv    crashes;
 *   hang    never answers;
 *   oom     allocates until the address space runs out, then aborts;
 *   open    opens the path that follows on the first line;
 *   socket  makes a socket.
 * A worker that survives its fault maps the rest of the file (after the
 * first line) in place of the whole: a good picture there then shows in
 * the scan's record that the sandbox let the fault through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

typedef void* (*mmap_fn)(void*, size_t, int, int, int, off_t);

static void* fill(size_t length, const char* bytes, size_t size) {
  void* area = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return area;
  memcpy(area, bytes, size < length ? size : length);
  return area;
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static mmap_fn real = NULL;
  if (real == NULL) real = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
  char head[4096];
  ssize_t got = -1;
  struct stat status;
  if (fd >= 0 && offset == 0 && (flags & MAP_ANONYMOUS) == 0 && fstat(fd, &status) == 0 &&
      S_ISREG(status.st_mode)) {
    got = pread(fd, head, sizeof head - 1, 0);
  }
  if (got < 6 || memcmp(head, "FAULT:", 6) != 0) {
    return real(address, length, protection, flags, fd, offset);
  }
  head[got] = '\0';
  char* line = strchr(head, '\n');
  if (line == NULL) return real(address, length, protection, flags, fd, offset);
  *line = '\0';
  const char* kind = head + 6;
  if (strcmp(kind, "segv") == 0) {
    raise(SIGSEGV);
  } else if (strcmp(kind, "hang") == 0) {
    for (;;) pause();
  } else if (strcmp(kind, "oom") == 0) {
    for (;;) {
      if (malloc(64 << 20) == NULL) abort();
    }
  } else if (strncmp(kind, "open ", 5) == 0) {
    const int opened = open(kind + 5, O_RDONLY | O_CLOEXEC);
    if (opened < 0) return MAP_FAILED;
    close(opened);
  } else if (strcmp(kind, "socket") == 0) {
    const int made = socket(AF_INET, SOCK_STREAM, 0);
    if (made < 0) return MAP_FAILED;
    close(made);
  }
  /* Survived: the picture after the first line. */
  const size_t skip = (size_t)(line + 1 - head);
  char* rest = malloc(length);
  if (rest == NULL) return MAP_FAILED;
  const ssize_t read = pread(fd, rest, length, (off_t)skip);
  void* area = fill(length, rest, read > 0 ? (size_t)read : 0);
  free(rest);
  return area;
}
