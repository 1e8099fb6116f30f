#include "base/sandbox.h"

#include <fcntl.h>
#include <seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace velmora::base {

namespace {

bool limit(int resource, rlim_t value) {
  const struct rlimit bound {value, value};
  return ::setrlimit(resource, &bound) == 0;
}

// One comparison of a call's argument (what libseccomp's SCMP_A* macros
// make, without their C compound literals).
scmp_arg_cmp argument(unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  scmp_arg_cmp comparison{};
  comparison.arg = index;
  comparison.op = op;
  comparison.datum_a = a;
  comparison.datum_b = b;
  return comparison;
}

class Filter {
 public:
  Filter() : context_(seccomp_init(SCMP_ACT_ALLOW)) {}
  ~Filter() {
    if (context_ != nullptr) seccomp_release(context_);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Every thread of the process (libraries start theirs early), not only
  // the calling one.
  bool valid() const {
    return context_ != nullptr && seccomp_attr_set(context_, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
  }

  // Calls that end the process, whatever their arguments.
  bool kill(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      const int call = seccomp_syscall_resolve_name(name);
      if (call == __NR_SCMP_ERROR) continue;  // not on this architecture
      if (seccomp_rule_add(context_, SCMP_ACT_KILL_PROCESS, call, 0) != 0) return false;
    }
    return true;
  }

  // A call that ends the process unless its first argument is `allowed`
  // (the process's own id, for the signal calls).
  bool killUnlessFirstIs(const char* name, scmp_datum_t allowed) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR) return true;
    const scmp_arg_cmp other = argument(0, SCMP_CMP_NE, allowed);
    return seccomp_rule_add_array(context_, SCMP_ACT_KILL_PROCESS, call, 1, &other) == 0;
  }

  // prlimit64 reads limits too (getrlimit); only setting one ends the process.
  bool killLimitChanges() {
    const scmp_arg_cmp setting = argument(2, SCMP_CMP_NE, 0);
    return seccomp_rule_add_array(context_, SCMP_ACT_KILL_PROCESS, SCMP_SYS(prlimit64), 1,
                                  &setting) == 0;
  }

  // Threads are allowed (clone with CLONE_THREAD); a new process is not.
  bool threadsOnly() {
    const scmp_arg_cmp process = argument(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0);
    if (seccomp_rule_add_array(context_, SCMP_ACT_KILL_PROCESS, SCMP_SYS(clone), 1, &process) !=
        0) {
      return false;
    }
    // clone3 passes its flags in memory, out of the filter's sight; glibc
    // falls back to clone when it is not there.
    return seccomp_rule_add(context_, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  }

  // Opening an existing path ends the process. Creating one only fails:
  // ORC (libvips' code generator) first tries to make a file for its code
  // and, when it cannot, maps anonymous memory instead.
  bool openingEnds() {
    const scmp_arg_cmp existing = argument(2, SCMP_CMP_MASKED_EQ, O_CREAT, 0);
    const scmp_arg_cmp creating = argument(2, SCMP_CMP_MASKED_EQ, O_CREAT, O_CREAT);
    return seccomp_rule_add_array(context_, SCMP_ACT_KILL_PROCESS, SCMP_SYS(openat), 1,
                                  &existing) == 0 &&
           seccomp_rule_add_array(context_, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1,
                                  &creating) == 0;
  }

  bool load() { return seccomp_load(context_) == 0; }

 private:
  scmp_filter_ctx context_;
};

}  // namespace

bool enterSandbox(const SandboxLimits& limits) {
#ifdef VELMORA_SANITIZED
  // The sanitizers' shadow memory alone is terabytes of address space.
  static_cast<void>(limits.addressSpaceBytes);
#else
  if (!limit(RLIMIT_AS, limits.addressSpaceBytes)) return false;
#endif
  if (!limit(RLIMIT_CPU, limits.cpuSeconds) || !limit(RLIMIT_FSIZE, 0) ||
      !limit(RLIMIT_CORE, 0)) {
    return false;
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return false;

  Filter filter;
  if (!filter.valid()) return false;
  const bool built =
      // No path is opened, made, changed or removed.
      filter.openingEnds() &&
      filter.kill({"open", "openat2", "creat", "open_by_handle_at", "name_to_handle_at",
                   "mknod", "mknodat", "mkdir", "mkdirat", "rmdir", "unlink", "unlinkat",
                   "rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat",
                   "chmod", "fchmodat", "chown", "lchown", "fchownat", "truncate", "utimes",
                   "utimensat", "futimesat", "chdir", "chroot", "pivot_root", "mount",
                   "umount2", "fanotify_init", "inotify_init", "inotify_init1", "memfd_create",
                   "memfd_secret", "uselib", "swapon", "swapoff"}) &&
      // No network and no new channels.
      filter.kill({"socket", "socketpair", "connect", "bind", "listen", "accept", "accept4"}) &&
      // No programs, no other processes, no debugging, no new privileges.
      filter.kill({"execve", "execveat", "fork", "vfork", "ptrace", "process_vm_readv",
                   "process_vm_writev", "kcmp", "pidfd_open", "pidfd_getfd", "pidfd_send_signal",
                   "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid",
                   "setgroups", "unshare", "setns", "personality", "bpf", "perf_event_open",
                   "userfaultfd", "keyctl", "add_key", "request_key", "init_module",
                   "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot",
                   "acct", "quotactl", "ioperm", "iopl", "setrlimit",
                   "io_uring_setup", "seccomp"}) &&
      filter.threadsOnly() && filter.killLimitChanges() &&
      // Signals only to itself (abort, a thread's own signals).
      filter.killUnlessFirstIs("kill", static_cast<scmp_datum_t>(::getpid())) &&
      filter.killUnlessFirstIs("tgkill", static_cast<scmp_datum_t>(::getpid()));
  return built && filter.load();
}

}  // namespace velmora::base
