#include "bridge/run_modes.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <glib.h>
#include <gtk/gtk.h>

#include "base/private_folder.h"
#include "bridge/dispatch.h"
#include "bridge/photos/disk_library.h"
#include "bridge/process.h"

namespace velmora::bridge {

namespace {

class GLibMainThread final : public MainThread {
 public:
  explicit GLibMainThread(bool display) : display_(display) {}

  void runAndWait(const std::function<void()>& task) override {
    Call call(task);
    g_main_context_invoke(nullptr, &GLibMainThread::runCall, &call);
    std::unique_lock lock(call.mutex);
    call.finished.wait(lock, [&] { return call.done; });
  }

  bool hasDisplay() const override { return display_; }

 private:
  struct Call {
    explicit Call(const std::function<void()>& t) : task(t) {}
    const std::function<void()>& task;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
  };

  static gboolean runCall(gpointer data) {
    auto* call = static_cast<Call*>(data);
    try {
      call->task();
    } catch (...) {
      // The task reports through its own captured state; an escaping
      // exception must not take the main loop down.
    }
    {
      std::lock_guard lock(call->mutex);
      call->done = true;
    }
    call->finished.notify_one();
    return G_SOURCE_REMOVE;
  }

  bool display_;
};

Services servicesFor(MainThread* mainThread) {
  return Services{emit, photos::openPhotoLibrary, mainThread, base::bridgeCacheFolder()};
}

}  // namespace

void runHeadless(const Arguments& arguments) {
  Services services = servicesFor(nullptr);
  endProcess(work(arguments, services));
}

void runApplication(const Arguments& arguments) {
  // Without a usable display GTK stays uninitialised and a plain GLib loop
  // serves the main thread; windows then cannot be shown.
  // Only real display servers: GDK's fallback backends would start servers
  // or write caches of their own.
  gdk_set_allowed_backends("x11,wayland");
  const bool display = gtk_init_check(nullptr, nullptr) != FALSE;
  static GLibMainThread mainThread(display);

  std::thread worker([arguments] {
    Services services = servicesFor(&mainThread);
    int status = 1;
    try {
      status = work(arguments, services);
    } catch (...) {
      status = 1;
    }
    endProcess(status);
  });
  worker.detach();

  if (display) {
    gtk_main();
  } else {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
  }
  // The loop only ends with the process; should it ever return, the worker
  // still decides the status.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace velmora::bridge
