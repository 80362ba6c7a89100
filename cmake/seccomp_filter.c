// SPDX-License-Identifier: MIT
// Writes the program's seccomp filters for one architecture into a C header, built and run on the
// build machine (cmake/sandbox.cmake), so that the program loads a ready filter at start and needs
// no libseccomp at run time:
//
//   seccomp-filter ARCH OUTPUT [--leak-checker]     ARCH: x86_64, arm or aarch64
//
// Every system call is allowed but those that no request needs and that would let a flaw reach
// beyond the program: they fail with EPERM, so that a refusal shows up as a failed call, never as
// a killed request. A call made for another architecture (i386's on x86-64, x32's) fails alike.
// Two filters, since the bus address is known only at run time: kSeccompUnixSockets allows
// sockets of the family of syslog and a unix bus alone, kSeccompInetSockets IPv4 and IPv6 too,
// for a bus on TCP. Signals may go to the process itself only; its id, which only the running
// program knows, stands in the filters as QUADVIEW_SECCOMP_SELF, for it to fill in.
// --leak-checker allows ptrace: LeakSanitizer stops the program's threads with it at exit.

#include <errno.h>
#include <linux/filter.h>
#include <seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

// Stands for the process's own id: no system call number, architecture or action is this value.
#define SELF 0x7e1f5e1fu

// Refused whatever their arguments.
static const char* const kRefused[] = {
    // Running a program.
    "execve",
    "execveat",
    // Touching another process: its memory, its files, its signals (see kSignals).
    "process_vm_readv",
    "process_vm_writev",
    "process_madvise",
    "process_mrelease",
    "pidfd_open",
    "pidfd_getfd",
    "pidfd_send_signal",
    "kcmp",
    // Mounting, and the namespaces one would mount in.
    "mount",
    "umount",
    "umount2",
    "pivot_root",
    "chroot",
    "fsopen",
    "fsconfig",
    "fsmount",
    "fspick",
    "move_mount",
    "open_tree",
    "mount_setattr",
    "unshare",
    "setns",
    // Kernel keys, BPF programs, modules and kernels.
    "add_key",
    "request_key",
    "keyctl",
    "bpf",
    "init_module",
    "finit_module",
    "delete_module",
    "kexec_load",
    "kexec_file_load",
    // Ways into the kernel that exploits favour: io_uring also runs calls this filter never sees.
    "userfaultfd",
    "perf_event_open",
    "io_uring_setup",
    "io_uring_enter",
    "io_uring_register",
};

// Allowed only towards the process itself: their first argument is a process id. tkill() names a
// thread alone, which no filter can tell apart from another process's; valgrind signals its
// threads with it, and Landlock keeps it within the process where the kernel has signal scoping.
static const char* const kSignals[] = {"kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"};

static void fail(const char* what, int code) {
  fprintf(stderr, "seccomp-filter: %s: %s\n", what, strerror(code < 0 ? -code : code));
  exit(1);
}

// Refuses `name` with EPERM when its arguments match `conditions`; a call that the architecture
// does not have (umount on x86-64) is left out.
static void refuse(
    scmp_filter_ctx filter,
    uint32_t arch,
    const char* name,
    unsigned count,
    const struct scmp_arg_cmp* conditions) {
  if (seccomp_syscall_resolve_name_arch(arch, name) == __NR_SCMP_ERROR) {
    return;
  }
  // Rules name calls by the build machine's numbers; libseccomp translates them for `arch`.
  const int rc = seccomp_rule_add_array(
      filter, SCMP_ACT_ERRNO(EPERM), seccomp_syscall_resolve_name(name), count, conditions);
  if (rc != 0) {
    fail(name, rc);
  }
}

// Refuses `name` when its first argument compares with `value` as `op` says.
static void refuse_if(
    scmp_filter_ctx filter, uint32_t arch, const char* name, enum scmp_compare op, uint64_t value) {
  const struct scmp_arg_cmp condition = {0 /* the first argument */, op, value, 0};
  refuse(filter, arch, name, 1, &condition);
}

// Writes one filter as the array `variable`.
static void write_filter(
    FILE* out, const char* variable, uint32_t arch, int inet_sockets, int leak_checker) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (!filter) {
    fail("seccomp_init", ENOMEM);
  }
  int rc = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM));
  // A binary tree of the call numbers rather than a list: loading the filter, the kernel runs it
  // once for every call number to find those it always allows, which a list makes several times
  // slower.
  rc = rc != 0 ? rc : seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
  // The filter is for the target alone, whichever machine builds it.
  if (rc == 0 && arch != seccomp_arch_native()) {
    rc = seccomp_arch_add(filter, arch);
    rc = rc != 0 ? rc : seccomp_arch_remove(filter, SCMP_ARCH_NATIVE);
  }
  if (rc != 0) {
    fail("the architecture", rc);
  }
  for (size_t i = 0; i < sizeof kRefused / sizeof *kRefused; i++) {
    refuse(filter, arch, kRefused[i], 0, NULL);
  }
  if (!leak_checker) {
    refuse(filter, arch, "ptrace", 0, NULL);
  }
  for (size_t i = 0; i < sizeof kSignals / sizeof *kSignals; i++) {
    refuse_if(filter, arch, kSignals[i], SCMP_CMP_NE, SELF);
  }
  // Another process's limits; the C library names the process itself as 0.
  refuse_if(filter, arch, "prlimit64", SCMP_CMP_NE, 0);

  // Sockets of syslog's and the bus's families: AF_UNIX, and for a bus on TCP AF_INET (2) and
  // AF_INET6 (10). One comparison per rule, so the families in between are refused one by one.
  refuse_if(filter, arch, "socketpair", SCMP_CMP_NE, AF_UNIX);
  if (!inet_sockets) {
    refuse_if(filter, arch, "socket", SCMP_CMP_NE, AF_UNIX);
  } else {
    refuse_if(filter, arch, "socket", SCMP_CMP_GT, AF_INET6);
    for (int family = 0; family < AF_INET6; family++) {
      if (family != AF_UNIX && family != AF_INET) {
        refuse_if(filter, arch, "socket", SCMP_CMP_EQ, family);
      }
    }
  }

  FILE* program = tmpfile();
  if (!program || (rc = seccomp_export_bpf(filter, fileno(program))) != 0) {
    fail("seccomp_export_bpf", program ? rc : errno);
  }
  seccomp_release(filter);
  rewind(program);
  fprintf(out, "static const struct sock_filter %s[] = {\n", variable);
  struct sock_filter insn;
  unsigned self_count = 0;
  while (fread(&insn, sizeof insn, 1, program) == 1) {
    if (insn.k == SELF) {
      // Compared, and nothing else: the program replaces it in these comparisons alone.
      if (insn.code != (BPF_JMP | BPF_JEQ | BPF_K)) {
        fail("the placeholder of the process id is used otherwise", EINVAL);
      }
      self_count++;
    }
    fprintf(out, "    {0x%04x, %u, %u, 0x%08x},\n", insn.code, insn.jt, insn.jf, insn.k);
  }
  fprintf(out, "};\n");
  fclose(program);
  if (self_count == 0) {
    fail("no comparison with the process id", EINVAL);
  }
}

int main(int argc, char** argv) {
  const int leak_checker = argc == 4 && strcmp(argv[3], "--leak-checker") == 0;
  if (argc != 3 && !leak_checker) {
    fprintf(stderr, "usage: seccomp-filter x86_64|arm|aarch64 OUTPUT [--leak-checker]\n");
    return 2;
  }
  const uint32_t arch = seccomp_arch_resolve_name(argv[1]);
  if (arch != SCMP_ARCH_X86_64 && arch != SCMP_ARCH_ARM && arch != SCMP_ARCH_AARCH64) {
    fprintf(stderr, "seccomp-filter: no filter for the architecture '%s'\n", argv[1]);
    return 2;
  }
  FILE* out = fopen(argv[2], "w");
  if (!out) {
    fail(argv[2], errno);
  }
  const struct scmp_version* version = seccomp_version();
  fprintf(
      out,
      "/* The seccomp filters for %s, made by cmake/seccomp_filter.c with libseccomp %u.%u. */\n"
      "#define QUADVIEW_SECCOMP_ARCH 0x%08xu\n"
      "#define QUADVIEW_SECCOMP_SELF 0x%08xu\n",
      argv[1],
      version->major,
      version->minor,
      arch,
      SELF);
  write_filter(out, "kSeccompUnixSockets", arch, 0, leak_checker);
  write_filter(out, "kSeccompInetSockets", arch, 1, leak_checker);
  if (fclose(out) != 0) {
    fail(argv[2], errno);
  }
  return 0;
}
