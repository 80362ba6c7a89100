// SPDX-License-Identifier: MIT
#include "cgi/sandbox.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/file_contents.h"
#include "device/bus_connect.h"

// An SDK whose kernel headers predate Landlock builds the program without it.
#if defined(QUADVIEW_SANDBOX) && __has_include(<linux/landlock.h>) && \
    defined(__NR_landlock_create_ruleset)
#define QUADVIEW_LANDLOCK
#include <linux/landlock.h>
#endif

#ifdef QUADVIEW_SECCOMP_FILTER
#include "seccomp_filter.h"
#endif

namespace {

#ifdef QUADVIEW_SANDBOX
// Whether a bus address is a TCP one. By its family: G_IS_INET_SOCKET_ADDRESS() would register
// the type, some 15,000 instructions, for a bus on a unix socket too.
bool is_inet(gpointer address) {
  const GSocketFamily family = g_socket_address_get_family(G_SOCKET_ADDRESS(address));
  return family == G_SOCKET_FAMILY_IPV4 || family == G_SOCKET_FAMILY_IPV6;
}
#endif

#ifdef QUADVIEW_LANDLOCK
// Landlock's rights, by the ABI version that brought them. Those after the first are spelt out,
// since older headers lack them (Debian 12's are Linux 6.1's); their values are the kernel's ABI.
constexpr __u64 kFilesAbi1 = (1ULL << 13) - 1;     // EXECUTE to MAKE_SYM
constexpr __u64 kTruncate = 1ULL << 14;            // ABI 3, Linux 6.2
constexpr __u64 kIoctlDevice = 1ULL << 15;         // ABI 5, Linux 6.10
constexpr __u64 kBindTcp = 1ULL << 0;              // ABI 4, Linux 6.7
constexpr __u64 kConnectTcp = 1ULL << 1;           // ABI 4
constexpr __u64 kScopeAbstractSocket = 1ULL << 0;  // ABI 6, Linux 6.12
constexpr __u64 kScopeSignal = 1ULL << 1;          // ABI 6
constexpr int kRuleNetPort = 2;                    // ABI 4

// struct landlock_ruleset_attr as ABI 6 has it. An older kernel takes it whole, as long as what
// it does not know is 0.
struct ruleset_attr {
  __u64 handled_access_fs;
  __u64 handled_access_net;
  __u64 scoped;
};

// struct landlock_net_port_attr (ABI 4).
struct net_port_attr {
  __u64 allowed_access;
  __u64 port;
};

// Allows `access` beneath the folder `path`, or on the file `path`; a path that is not there
// gets no rule.
void allow_path(int ruleset, const char* path, __u64 access) {
  const int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  landlock_path_beneath_attr rule = {};
  rule.allowed_access = access;
  rule.parent_fd = fd;
  syscall(__NR_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  close(fd);
}

// Restricts files, TCP and signals to what the request needs, as far as the kernel's Landlock
// ABI goes: a right it lacks is left out of the ruleset, as the kernel documentation shows.
void restrict_access(const char* layout_path, GPtrArray* bus, GPtrArray* nonce_files) {
  const long abi =
      syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    return;  // before Linux 5.13, or Landlock not enabled
  }
  bool abstract_bus = false;
  for (guint i = 0; i < bus->len; i++) {
    auto* address = G_SOCKET_ADDRESS(bus->pdata[i]);
    abstract_bus =
        abstract_bus || (G_IS_UNIX_SOCKET_ADDRESS(address) &&
                         g_unix_socket_address_get_address_type(G_UNIX_SOCKET_ADDRESS(address)) ==
                             G_UNIX_SOCKET_ADDRESS_ABSTRACT);
  }
  const __u64 truncate = abi >= 3 ? kTruncate : 0;
  ruleset_attr attributes = {};
  attributes.handled_access_fs = kFilesAbi1 | truncate | (abi >= 5 ? kIoctlDevice : 0);
  attributes.handled_access_net = abi >= 4 ? kBindTcp | kConnectTcp : 0;
  attributes.scoped = abi >= 6 ? kScopeSignal | (abstract_bus ? 0 : kScopeAbstractSocket) : 0;
  const int ruleset =
      static_cast<int>(syscall(__NR_landlock_create_ruleset, &attributes, sizeof attributes, 0));
  if (ruleset < 0) {
    return;
  }

  // A save writes a new file beside the file and renames it over it, in the same folder: no
  // right to move files between folders (LANDLOCK_ACCESS_FS_REFER) is needed.
  g_autofree char* folder = find_real_folder(layout_path);
  if (folder) {
    allow_path(
        ruleset,
        folder,
        LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_DIR |
            LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REMOVE_FILE | truncate);
  }
  allow_path(ruleset, "/dev/null", LANDLOCK_ACCESS_FS_WRITE_FILE);
  allow_path(ruleset, "/dev/urandom", LANDLOCK_ACCESS_FS_READ_FILE);
  allow_path(ruleset, "/etc/localtime", LANDLOCK_ACCESS_FS_READ_FILE);
  for (guint i = 0; i < nonce_files->len; i++) {
    allow_path(
        ruleset, static_cast<const char*>(nonce_files->pdata[i]), LANDLOCK_ACCESS_FS_READ_FILE);
  }
#ifdef QUADVIEW_LEAK_CHECKER
  // LeakSanitizer reads the process's memory map and lists its threads at exit.
  allow_path(ruleset, "/proc/self", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR);
#endif
  for (guint i = 0; abi >= 4 && i < bus->len; i++) {
    if (is_inet(bus->pdata[i])) {
      net_port_attr rule = {};
      rule.allowed_access = kConnectTcp;
      rule.port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bus->pdata[i]));
      syscall(__NR_landlock_add_rule, ruleset, kRuleNetPort, &rule, 0);
    }
  }
  syscall(__NR_landlock_restrict_self, ruleset, 0);
  close(ruleset);
}
#endif

#ifdef QUADVIEW_SANDBOX
// Loads the filter that make_seccomp_filter() gives, through prctl() rather than seccomp(2),
// which valgrind does not know.
void filter_system_calls(GPtrArray* bus) {
  bool inet_sockets = false;
  for (guint i = 0; i < bus->len; i++) {
    inet_sockets = inet_sockets || is_inet(bus->pdata[i]);
  }
  g_autoptr(GArray) filter = make_seccomp_filter(inet_sockets, getpid());
  if (!filter) {
    return;
  }
  sock_fprog program = {};
  program.len = static_cast<unsigned short>(filter->len);
  program.filter = reinterpret_cast<sock_filter*>(filter->data);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0);
}
#endif

}  // namespace

void confine_process(const char* layout_path) {
#ifdef QUADVIEW_SANDBOX
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return;  // before Linux 3.5: neither Landlock nor a filter can be had without it
  }
  g_autoptr(GPtrArray) nonce_files = g_ptr_array_new_with_free_func(g_free);
  g_autoptr(GPtrArray) bus = list_system_bus_addresses(nonce_files);
#ifdef QUADVIEW_LANDLOCK
  restrict_access(layout_path, bus, nonce_files);
#endif
  filter_system_calls(bus);
#else
  (void)layout_path;
#endif
}

GArray* make_seccomp_filter(bool inet_sockets, pid_t self) {
#ifdef QUADVIEW_SECCOMP_FILTER
  const sock_filter* source = inet_sockets ? kSeccompInetSockets : kSeccompUnixSockets;
  const guint length =
      inet_sockets ? G_N_ELEMENTS(kSeccompInetSockets) : G_N_ELEMENTS(kSeccompUnixSockets);
  GArray* filter = g_array_sized_new(FALSE, FALSE, sizeof(sock_filter), length);
  g_array_append_vals(filter, source, length);
  for (guint i = 0; i < length; i++) {
    sock_filter& instruction = g_array_index(filter, sock_filter, i);
    if (instruction.code == (BPF_JMP | BPF_JEQ | BPF_K) && instruction.k == QUADVIEW_SECCOMP_SELF) {
      instruction.k = static_cast<__u32>(self);
    }
  }
  return filter;
#else
  (void)inet_sockets;
  (void)self;
  return nullptr;
#endif
}
