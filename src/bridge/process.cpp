#include "bridge/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <glib.h>

namespace velmora::bridge {

namespace {

GLogWriterOutput dropLogRecord(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void dropPrint(const gchar*) {}

// A descriptor 0 or 1 that the parent left closed would be taken by the
// next file or socket opened (the X connection, a preview file), and the
// JSON lines would go into it.
void reopenIfClosed(int fd, int flags) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  const int devNull = ::open("/dev/null", flags);
  if (devNull >= 0 && devNull != fd) {
    ::dup2(devNull, fd);
    ::close(devNull);
  }
}

}  // namespace

void quietenProcess() {
  reopenIfClosed(STDIN_FILENO, O_RDONLY);
  reopenIfClosed(STDOUT_FILENO, O_WRONLY);
  // A parent that stops reading must not end a run half way (a delete that
  // is moving files, above all): writes then fail with EPIPE and are ignored.
  std::signal(SIGPIPE, SIG_IGN);

  // GLib, GTK, GIO and libvips all report through GLib's log; standard
  // output belongs to the JSON lines and standard error stays silent.
  g_log_set_writer_func(dropLogRecord, nullptr, nullptr);
  g_log_set_default_handler(dropLogMessage, nullptr);
  g_set_printerr_handler(dropPrint);
  g_set_print_handler(dropPrint);

#ifndef VELMORA_SANITIZED
  // Some decoders print to the descriptor directly. The sanitizer build keeps
  // standard error so that its reports, and any stray output, show in tests.
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) {
    ::dup2(devNull, STDERR_FILENO);
    ::close(devNull);
  }
#endif
}

void endProcess(int status) {
  std::fflush(stdout);
  std::_Exit(status);
}

}  // namespace velmora::bridge
