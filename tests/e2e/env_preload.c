// SPDX-License-Identifier: MIT
// Preloaded into the program by the end-to-end tests (LD_PRELOAD) to hand it environment values
// longer than the 128 KiB that Linux accepts for one environment string at exec. Before main,
// each QUADVIEW_ENV_FILE_NAME=PATH in the environment is replaced by NAME=<the contents of PATH>,
// so the program finds the value where the web server would have put it.
//
// It also makes calls fail as a file system may, for each name in the comma-separated
// QUADVIEW_FAIL: folder-flush fails fsync() of a folder with EIO, acl fails fsetxattr() of an
// access control list with EPERM, attribute fails fsetxattr() of a user.* attribute with ENOSPC,
// no-tmpfile fails open() with O_TMPFILE with EOPNOTSUPP, old-kernel-link fails linkat() with
// AT_EMPTY_PATH with ENOENT (as kernels before 6.10 answer the unprivileged), no-named-file fails
// open() with O_CREAT | O_EXCL with EACCES, slow-flush makes every fsync() take 12 s as slow flash
// may, and kill-on-flush ends the process with SIGKILL at fsync() of a regular file, as an
// out-of-memory kill may.
//
// With QUADVIEW_PROBE_REPORT=PATH, it tries what no request may do, once, at the program's first
// look at QUERY_STRING, which every request makes once the program has confined itself: reading
// the file "secret" in PATH's folder, creating "created" there, running /bin/true, and connecting
// to 127.0.0.1 on the TCP port QUADVIEW_PROBE_PORT. It writes a line "NAME=ERRNO" for each (0: it
// succeeded) into PATH, which it opened before main.
//
// Only in the program named by QUADVIEW_ENV_FILE_TARGET: a launcher in between (valgrind starts
// through a shell script) inherits LD_PRELOAD too, and would fail to exec the next step with a
// value too long for exec.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

enum { kMaxVariables = 8 };

static const char kPrefix[] = "QUADVIEW_ENV_FILE_";
static const char kTarget[] = "QUADVIEW_ENV_FILE_TARGET";

// The probe's report, open from before main until the probe has run.
static int probe_report = -1;

// A helper that cannot do its part must not let the program run with a request it never got.
__attribute__((noreturn)) static void fail(const char* what, const char* path) {
  fprintf(stderr, "env_preload: cannot %s %s\n", what, path);
  _exit(125);
}

// Returns the file's contents as a NUL-terminated string (free), or ends the process.
static char* read_whole_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  char* text = fd >= 0 && fstat(fd, &st) == 0 ? malloc((size_t)st.st_size + 1) : NULL;
  if (!text) {
    fail("read", path);
  }
  ssize_t n = 1;
  for (off_t size = 0; size < st.st_size && n > 0; size += n) {
    n = read(fd, text + size, (size_t)(st.st_size - size));
  }
  if (n <= 0) {
    fail("read", path);
  }
  close(fd);
  text[st.st_size] = '\0';
  return text;
}

__attribute__((constructor)) static void set_variables_from_files(void) {
  const char* target = getenv(kTarget);
  if (!target || strcmp(target, program_invocation_short_name) != 0) {
    return;
  }
  unsetenv(kTarget);
  const char* report = getenv("QUADVIEW_PROBE_REPORT");
  if (report) {
    probe_report = open(report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }

  // Collected first: setenv() and unsetenv() change the array being walked.
  char* entries[kMaxVariables];
  int count = 0;
  for (char** entry = environ; *entry && count < kMaxVariables; entry++) {
    if (strncmp(*entry, kPrefix, sizeof(kPrefix) - 1) == 0) {
      entries[count++] = strdup(*entry);
    }
  }

  for (int i = 0; i < count; i++) {
    char* separator = entries[i] ? strchr(entries[i], '=') : NULL;
    if (!separator) {
      fail("take", kPrefix);
    }
    *separator = '\0';
    const char* name = entries[i] + sizeof(kPrefix) - 1;
    char* value = read_whole_file(separator + 1);
    if (setenv(name, value, 1 /* overwrite */) != 0) {
      fail("set", name);
    }
    unsetenv(entries[i]);
    free(value);
    free(entries[i]);
  }
}

static int failing(const char* what) {
  const char* fail = getenv("QUADVIEW_FAIL");
  const size_t length = strlen(what);
  for (const char* p = fail; p && *p; p = strchr(p, ',') ? strchr(p, ',') + 1 : NULL) {
    if (strncmp(p, what, length) == 0 && (p[length] == ',' || p[length] == '\0')) {
      return 1;
    }
  }
  return 0;
}

static int open_failing(const char* real, const char* path, int flags, mode_t mode) {
  if (failing("no-tmpfile") && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (failing("no-named-file") && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
    errno = EACCES;
    return -1;
  }
  int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, real);
  return real_open(path, flags, mode);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode =
      (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
  va_end(args);
  return open_failing("open", path, flags, mode);
}

#ifndef __USE_FILE_OFFSET64
int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode =
      (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
  va_end(args);
  return open_failing("open64", path, flags, mode);
}
#endif

int fsync(int fd) {
  struct stat st;
  if (failing("folder-flush") && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  if (failing("kill-on-flush") && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    kill(getpid(), SIGKILL);
  }
  if (failing("slow-flush")) {
    sleep(12);
  }
  int (*real_fsync)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real_fsync(fd);
}

int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
  if (failing("old-kernel-link") && (flags & AT_EMPTY_PATH)) {
    errno = ENOENT;
    return -1;
  }
  int (*real_linkat)(int, const char*, int, const char*, int) =
      (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
  return real_linkat(from_folder, from, to_folder, to, flags);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (failing("acl") && strcmp(name, "system.posix_acl_access") == 0) {
    errno = EPERM;
    return -1;
  }
  if (failing("attribute") && strncmp(name, "user.", 5) == 0) {
    errno = ENOSPC;
    return -1;
  }
  int (*real_fsetxattr)(int, const char*, const void*, size_t, int) =
      (int (*)(int, const char*, const void*, size_t, int))dlsym(RTLD_NEXT, "fsetxattr");
  return real_fsetxattr(fd, name, value, size, flags);
}

// The errno of a call that returned `result`, 0 when it succeeded.
static int outcome(int result) { return result < 0 ? errno : 0; }

static void run_probe(int report) {
  const char* report_path = getenv("QUADVIEW_PROBE_REPORT");
  const int folder = (int)(strrchr(report_path, '/') - report_path);
  char path[4096];
  snprintf(path, sizeof path, "%.*s/secret", folder, report_path);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  dprintf(report, "read=%d\n", outcome(fd));
  close(fd);
  snprintf(path, sizeof path, "%.*s/created", folder, report_path);
  fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  dprintf(report, "create=%d\n", outcome(fd));
  close(fd);

  // In a child, so that a program that does run does not take the request's place.
  const pid_t child = fork();
  if (child == 0) {
    char* const argv[] = {"/bin/true", NULL};
    char* const env[] = {NULL};
    execve(argv[0], argv, env);
    _exit(errno);
  }
  int status = -1;
  waitpid(child, &status, 0);
  dprintf(report, "exec=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);

  const char* port = getenv("QUADVIEW_PROBE_PORT");
  struct sockaddr_in address = {.sin_family = AF_INET};
  address.sin_port = htons((uint16_t)atoi(port ? port : "0"));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  dprintf(
      report,
      "connect=%d\n",
      tcp < 0 ? errno : outcome(connect(tcp, (struct sockaddr*)&address, sizeof address)));
  close(tcp);
}

// The C library's getenv(), which the program reaches through GLib; the probe runs first.
char* getenv(const char* name) {
  if (probe_report >= 0 && strcmp(name, "QUERY_STRING") == 0) {
    const int report = probe_report;
    probe_report = -1;
    run_probe(report);
    close(report);
  }
  const size_t length = strlen(name);
  for (char** entry = environ; *entry; entry++) {
    if (strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
      return *entry + length + 1;
    }
  }
  return NULL;
}
