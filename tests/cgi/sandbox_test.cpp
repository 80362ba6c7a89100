// SPDX-License-Identifier: MIT
#include "cgi/sandbox.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <string>

namespace {

#if defined(__x86_64__)
constexpr __u32 kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr __u32 kArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr __u32 kArch = AUDIT_ARCH_ARM;
#endif

constexpr pid_t kSelf = 4242;

// What the kernel's classic BPF machine makes of `filter` for one call: its return value.
__u32 run_filter(GArray* filter, const seccomp_data& call) {
  const auto* data = reinterpret_cast<const unsigned char*>(&call);
  __u32 a = 0;
  for (guint pc = 0; pc < filter->len; pc++) {
    const sock_filter& op = g_array_index(filter, sock_filter, pc);
    const auto jump = [&](bool taken) { pc += taken ? op.jt : op.jf; };
    switch (op.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        memcpy(&a, data + op.k, sizeof a);
        break;
      case BPF_ALU | BPF_AND | BPF_K:
        a &= op.k;
        break;
      case BPF_JMP | BPF_JA:
        pc += op.k;
        break;
      case BPF_JMP | BPF_JEQ | BPF_K:
        jump(a == op.k);
        break;
      case BPF_JMP | BPF_JGT | BPF_K:
        jump(a > op.k);
        break;
      case BPF_JMP | BPF_JGE | BPF_K:
        jump(a >= op.k);
        break;
      case BPF_JMP | BPF_JSET | BPF_K:
        jump((a & op.k) != 0);
        break;
      case BPF_RET | BPF_K:
        return op.k;
      default:
        ADD_FAILURE() << "an instruction the test does not know: " << op.code;
        return 0;
    }
  }
  ADD_FAILURE() << "the filter ends without returning";
  return 0;
}

constexpr __u32 kAllow = SECCOMP_RET_ALLOW;
constexpr __u32 kRefuse = SECCOMP_RET_ERRNO | EPERM;
#ifdef __SANITIZE_ADDRESS__
constexpr __u32 kPtrace = kAllow;  // LeakSanitizer stops the threads with it at exit
#else
constexpr __u32 kPtrace = kRefuse;
#endif

// The filter made at build time for this target, checked as the kernel runs it for this target's
// calls: the system call numbers, the architecture and the process id it was given.
TEST(SandboxTest, FilterRefusesWhatNoRequestNeeds) {
  struct test_case {
    const char* name;
    long number;
    __u64 argument;
    __u32 unix_bus;  // the filter's answer when the bus is a unix socket
    __u32 tcp_bus;
    __u32 arch = kArch;
  };

  const test_case cases[] = {
    {"read", __NR_read, 0, kAllow, kAllow},
    {"execve", __NR_execve, 0, kRefuse, kRefuse},
    {"execveat", __NR_execveat, 0, kRefuse, kRefuse},
    {"ptrace", __NR_ptrace, 0, kPtrace, kPtrace},
    {"mount", __NR_mount, 0, kRefuse, kRefuse},
    {"bpf", __NR_bpf, 0, kRefuse, kRefuse},
    {"io_uring_setup", __NR_io_uring_setup, 0, kRefuse, kRefuse},
    {"kill of itself", __NR_kill, kSelf, kAllow, kAllow},
    {"kill of another", __NR_kill, kSelf + 1, kRefuse, kRefuse},
    {"kill of its group", __NR_kill, 0, kRefuse, kRefuse},
    {"tgkill of another", __NR_tgkill, 1, kRefuse, kRefuse},
    {"AF_UNIX socket", __NR_socket, AF_UNIX, kAllow, kAllow},
    {"AF_INET socket", __NR_socket, AF_INET, kRefuse, kAllow},
    {"AF_INET6 socket", __NR_socket, AF_INET6, kRefuse, kAllow},
    {"AF_NETLINK socket", __NR_socket, AF_NETLINK, kRefuse, kRefuse},
    {"AF_PACKET socket", __NR_socket, AF_PACKET, kRefuse, kRefuse},
    {"AF_INET socket pair", __NR_socketpair, AF_INET, kRefuse, kRefuse},
    {"a call of another architecture", __NR_read, 0, kRefuse, kRefuse, kArch ^ 1},
#if defined(__x86_64__)
    {"an x32 call", __NR_read | 0x40000000, 0, kRefuse, kRefuse},
#endif
  };
  for (const bool tcp_bus : {false, true}) {
    g_autoptr(GArray) filter = make_seccomp_filter(tcp_bus, kSelf);
    if (!filter) {
      GTEST_SKIP() << "the build made no seccomp filter: the build machine has no libseccomp";
    }
    for (const test_case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tcp_bus ? ", bus on TCP" : ", unix bus"));
      seccomp_data call = {};
      call.nr = static_cast<int>(c.number);
      call.arch = c.arch;
      call.args[0] = c.argument;
      EXPECT_EQ(run_filter(filter, call), tcp_bus ? c.tcp_bus : c.unix_bus);
    }
  }
}

}  // namespace
