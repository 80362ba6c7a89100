// SPDX-License-Identifier: MIT
#include "harness.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/time_budget.h"

namespace e2e {

namespace {

namespace fs = std::filesystem;

// QUADVIEW_ENV_FILE_NAME=PATH has the preloaded helper set NAME to the contents of PATH.
constexpr char kEnvFilePrefix[] = "QUADVIEW_ENV_FILE_";

// Long enough for a run under an emulator or valgrind; only a broken child ever takes it.
constexpr int kStartupTimeoutMs = 60000;

// A run of the program that has not finished this long after its request's limit hangs.
constexpr auto kRunTimeout = std::chrono::microseconds(kRequestLimitUs) + std::chrono::seconds(45);

// Owns a file descriptor.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}

  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  ~unique_fd() { reset(); }

  int get() const { return fd_; }

  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

struct pipe_pair {
  unique_fd read_end;
  unique_fd write_end;
};

bool open_pipe(pipe_pair* pair) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  pair->read_end.reset(fds[0]);
  pair->write_end.reset(fds[1]);
  return true;
}

// Owned strings with the nullptr-terminated array that execve() takes.
class string_array {
 public:
  explicit string_array(std::vector<std::string> strings) : strings_(std::move(strings)) {
    for (std::string& s : strings_) {
      pointers_.push_back(s.data());
    }
    pointers_.push_back(nullptr);
  }

  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// The child's side of a fork: only async-signal-safe calls from here on.
[[noreturn]] void fail_in_child(const char* step) {
  const char prefix[] = "harness child: cannot ";
  (void)!write(STDERR_FILENO, prefix, sizeof(prefix) - 1);
  (void)!write(STDERR_FILENO, step, strlen(step));
  (void)!write(STDERR_FILENO, "\n", 1);
  _exit(127);
}

void write_in_child(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, text, strlen(text)) != static_cast<ssize_t>(strlen(text))) {
    fail_in_child(path);
  }
  close(fd);
}

// Reads `fd` until a line ends, the other end closes or `timeout_ms` passes; returns the line
// without its newline, or nullopt.
std::optional<std::string> read_line(int fd, int timeout_ms) {
  std::string line;
  for (;;) {
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    char c;
    if (ready <= 0 || read(fd, &c, 1) != 1) {
      return std::nullopt;
    }
    if (c == '\n') {
      return line;
    }
    line += c;
  }
}

// Everything the sandboxed child needs, prepared before the fork.
struct sandbox_plan {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::string private_dir;  // an empty folder of the test's for the private tmpfs
  std::string layout_dir;
  std::string log_socket;
  // The rest of what the test asked for (its words and variables are in argv and env by now).
  run_options options;
};

// The strings the child needs beyond the plan, made before the fork.
struct sandbox_strings {
  explicit sandbox_strings(const sandbox_plan& plan)
      : uid_map("0 " + std::to_string(getuid()) + " 1"),
        gid_map("0 " + std::to_string(getgid()) + " 1") {
    // The layout folder and the folders it is in, below the top one (such as /etc).
    fs::path folder;
    for (const fs::path& name : fs::path(kLayoutFolder)) {
      folder /= name;
      (top.empty() && folder != "/" ? top : layout_folders.emplace_back()) = folder.string();
    }
    for (const std::string& root : {top, std::string("/dev")}) {
      const std::string upper = plan.private_dir + root + "-up";
      const std::string work = plan.private_dir + root + "-work";
      folders.push_back(upper);
      folders.push_back(work);
      overlay_options.push_back("lowerdir=" + root + ",upperdir=" + upper + ",workdir=" + work);
    }
    host_dev = plan.private_dir + "/host-dev";
    folders.push_back(host_dev);
    for (const char* name : {"null", "zero", "full", "random", "urandom", "tty"}) {
      device_paths.push_back(std::string("/dev/") + name);
      host_device_paths.push_back(host_dev + "/" + name);
    }
  }

  std::string uid_map;
  std::string gid_map;
  std::vector<std::string> folders;          // made in the private tmpfs
  std::string top;                           // an overlay, where the layout folder is made
  std::vector<std::string> layout_folders;   // made in that overlay, the layout folder last
  std::vector<std::string> overlay_options;  // for `top`, then /dev
  // Where the real /dev stays reachable when it cannot be an overlay lower layer, which is so
  // in a user namespace: /dev is then a tmpfs with the common devices bound into it.
  std::string host_dev;
  std::vector<std::string> device_paths;
  std::vector<std::string> host_device_paths;
};

// In the child: makes /dev an overlay, or else a tmpfs holding the common devices.
void make_private_dev(const sandbox_strings& strings) {
  if (mount("overlay", "/dev", "overlay", 0, strings.overlay_options[1].c_str()) == 0) {
    return;
  }
  if (mount("/dev", strings.host_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
    fail_in_child("make a private /dev");
  }
  for (size_t i = 0; i < strings.device_paths.size(); i++) {
    const char* path = strings.device_paths[i].c_str();
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
    }
    // Best effort: a device the machine lacks is not needed by the program.
    (void)mount(strings.host_device_paths[i].c_str(), path, nullptr, MS_BIND, nullptr);
  }
}

// In the child: a private mount namespace in which the layout folder's top folder (/etc) and /dev
// are overlays on a private tmpfs, the layout folder is the test's and /dev/log leads to the
// test's socket; then the program. Nothing of this is visible outside the child.
[[noreturn]] void exec_sandboxed(
    const sandbox_plan& plan,
    const sandbox_strings& strings,
    const string_array& argv,
    const string_array& env) {
  const bool root = getuid() == 0;
  if (unshare(root ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) != 0) {
    fail_in_child("unshare");
  }
  if (!root) {
    write_in_child("/proc/self/setgroups", "deny");
    write_in_child("/proc/self/uid_map", strings.uid_map.c_str());
    write_in_child("/proc/self/gid_map", strings.gid_map.c_str());
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fail_in_child("make / private");
  }
  if (mount("tmpfs", plan.private_dir.c_str(), "tmpfs", 0, "mode=0700") != 0) {
    fail_in_child("mount the private tmpfs");
  }
  for (const std::string& folder : strings.folders) {
    if (mkdir(folder.c_str(), 0755) != 0) {
      fail_in_child("make the sandbox folders");
    }
  }
  if (mount("overlay", strings.top.c_str(), "overlay", 0, strings.overlay_options[0].c_str()) !=
      0) {
    fail_in_child("mount an overlay on the layout folder's top folder");
  }
  make_private_dev(strings);
  if (plan.options.no_proc && mount("tmpfs", "/proc", "tmpfs", MS_RDONLY, nullptr) != 0) {
    fail_in_child("hide /proc");
  }
  for (const std::string& folder : strings.layout_folders) {
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      fail_in_child("make the layout folder");
    }
  }
  const char* layout_target = strings.layout_folders.back().c_str();
  // The folder, not the file: saving replaces the file by renaming a new one over it.
  if (mount(plan.layout_dir.c_str(), layout_target, nullptr, MS_BIND, nullptr) != 0) {
    fail_in_child("bind the layout folder");
  }
  if (plan.options.read_only_layout &&
      mount(nullptr, layout_target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    fail_in_child("make the layout folder read-only");
  }
  const char* folder = plan.options.read_only_folder.c_str();
  if (*folder &&
      (mount(folder, folder, nullptr, MS_BIND, nullptr) != 0 ||
       mount(nullptr, folder, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)) {
    fail_in_child("make a folder read-only");
  }
  if (plan.options.umask) {
    umask(*plan.options.umask);
  }
  if ((unlink("/dev/log") != 0 && errno != ENOENT) ||
      symlink(plan.log_socket.c_str(), "/dev/log") != 0) {
    fail_in_child("point /dev/log at the test's socket");
  }
  if (plan.options.output == stdout_state::kClosed) {
    close(STDOUT_FILENO);
  }
  if (plan.options.close_stdin_and_stderr) {
    close(STDIN_FILENO);
    close(STDERR_FILENO);
  }
  const struct rlimit no_queue = {0, 0};
  if (plan.options.no_signal_queue && setrlimit(RLIMIT_SIGPENDING, &no_queue) != 0) {
    fail_in_child("take away the room for queued signals");
  }
  sigset_t all;
  sigfillset(&all);
  if (plan.options.signals_blocked && sigprocmask(SIG_BLOCK, &all, nullptr) != 0) {
    fail_in_child("block every signal");
  }
  execve(argv.get()[0], argv.get(), env.get());
  fail_in_child("execute the program");
}

log_line parse_datagram(const std::string& raw) {
  log_line line{-1, -1, raw, raw};
  const size_t close = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close == std::string::npos) {
    return line;
  }
  const int pri = atoi(raw.substr(1, close - 1).c_str());
  line.facility = pri >> 3;
  line.priority = pri & 7;
  // The timestamp "Mmm dd hh:mm:ss " comes first, then "IDENT: ".
  const size_t ident_end = raw.find(": ", std::min(raw.size(), close + 17));
  if (ident_end != std::string::npos) {
    line.message = raw.substr(ident_end + 2);
  }
  return line;
}

// Receives /dev/log datagrams on a thread while the program runs: the kernel queues only a few
// of them, and the program's syslog() waits while the queue is full.
class log_receiver {
 public:
  bool bind_to(const std::string& path) {
    socket_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socket_.get() < 0 || path.size() >= sizeof(address.sun_path) || !open_pipe(&stop_)) {
      return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      return false;
    }
    thread_ = std::thread([this] { receive(); });
    return true;
  }

  // Takes what is still queued and returns every line received.
  std::vector<log_line> finish() {
    if (thread_.joinable()) {
      (void)!write(stop_.write_end.get(), "", 1);
      thread_.join();
    }
    return std::move(lines_);
  }

  ~log_receiver() { finish(); }

 private:
  void receive() {
    std::vector<char> buffer(65536);
    for (;;) {
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.read_end.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) {
        return;
      }
      const bool stopping = fds[1].revents != 0;
      for (;;) {
        const ssize_t n = recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
          break;
        }
        lines_.push_back(parse_datagram(std::string(buffer.data(), n)));
      }
      if (stopping) {
        return;
      }
    }
  }

  unique_fd socket_;
  pipe_pair stop_;
  std::thread thread_;
  std::vector<log_line> lines_;
};

// Reads both pipes to their ends, or until `deadline`; a pipe of -1 is not read. Notes when the
// first one ended in `out_ended`. Returns false when the deadline came first.
bool read_outputs(
    int out_fd,
    int err_fd,
    std::chrono::steady_clock::time_point deadline,
    std::string* out,
    std::string* err,
    std::chrono::steady_clock::time_point* out_ended) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = (out_fd >= 0) + (err_fd >= 0);
  char buffer[4096];
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(fds, 2, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready == 0) {
      return false;
    }
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return true;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        open_count--;
        if (i == 0) {
          *out_ended = std::chrono::steady_clock::now();
        }
      }
    }
  }
  return true;
}

cgi_result run_sandboxed(const sandbox_plan& plan) {
  cgi_result result;
  const string_array argv(plan.argv);
  const string_array env(plan.env);
  const sandbox_strings strings(plan);

  log_receiver receiver;
  pipe_pair in;
  pipe_pair out;
  pipe_pair err;
  const unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  // One socket for input and output: the test's end is written with the body and read for the
  // answer, as the pipes' ends are.
  const stdout_state output = plan.options.output;
  const bool socket = output == stdout_state::kSocketWithStdin;
  int ends[2];
  if (!receiver.bind_to(plan.log_socket) || !open_pipe(&out) || !open_pipe(&err) ||
      null_fd.get() < 0 || (plan.options.body && !socket && !open_pipe(&in)) ||
      (socket && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)) {
    ADD_FAILURE() << "cannot set up the run: " << strerror(errno);
    return result;
  }
  if (socket) {
    out.read_end.reset(ends[0]);
    out.write_end.reset(ends[1]);
    in.write_end.reset(fcntl(ends[0], F_DUPFD_CLOEXEC, 0));
  }
  if (output == stdout_state::kHungUp) {
    out.read_end.reset();
  }

  const auto start = std::chrono::steady_clock::now();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent ||
        dup2(
            socket              ? out.write_end.get()
            : plan.options.body ? in.read_end.get()
                                : null_fd.get(),
            STDIN_FILENO) < 0 ||
        dup2(out.write_end.get(), STDOUT_FILENO) < 0 ||
        dup2(
            output == stdout_state::kSharedWithStderr ? out.write_end.get() : err.write_end.get(),
            STDERR_FILENO) < 0) {
      _exit(127);
    }
    // As a web server leaves it, and whatever the test process does with it: writing to a pipe
    // nobody reads then kills the program unless the program itself ignores the signal.
    signal(SIGPIPE, SIG_DFL);
    exec_sandboxed(plan, strings, argv, env);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  out.write_end.reset();
  err.write_end.reset();
  // The test keeps the pipe's reading end too, so writing never fails: what the program leaves
  // unread is counted once it has ended.
  std::atomic<bool> body_written{false};
  std::thread body_writer;
  if (plan.options.body) {
    body_writer = std::thread([&] {
      std::this_thread::sleep_until(start + plan.options.body_delay);
      const std::string& body = *plan.options.body;
      for (size_t done = 0; done < body.size();) {
        const char* rest = body.data() + done;
        // A socket whose program has ended refuses the rest, without SIGPIPE.
        const ssize_t n = socket ? send(in.write_end.get(), rest, body.size() - done, MSG_NOSIGNAL)
                                 : write(in.write_end.get(), rest, body.size() - done);
        if (n <= 0 && errno != EINTR) {
          break;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
      }
      if (!plan.options.body_stays_open) {
        in.write_end.reset();
      }
      body_written = true;
    });
  }
  // Joined before the program is reaped, so that its process id is not another's meanwhile.
  std::thread action;
  if (plan.options.while_running) {
    action = std::thread(plan.options.while_running, pid);
  }
  auto out_ended = start;
  if (!read_outputs(
          out.read_end.get(),
          err.read_end.get(),
          start + kRunTimeout,
          &result.out,
          &result.err,
          &out_ended)) {
    ADD_FAILURE() << "the program hangs: no end after "
                  << std::chrono::duration_cast<std::chrono::seconds>(kRunTimeout).count() << " s";
    kill(pid, SIGKILL);
  }
  if (action.joinable()) {
    action.join();
  }
  while (waitpid(pid, &result.wait_status, 0) < 0 && errno == EINTR) {
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  result.output_elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(out_ended - start);
  if (body_writer.joinable()) {
    fcntl(in.read_end.get(), F_SETFL, O_NONBLOCK);
    char buffer[65536];
    for (;;) {
      // Read before the pipe is known empty: the last write may come between.
      const bool written = body_written;
      const ssize_t n = read(in.read_end.get(), buffer, sizeof(buffer));
      if (n > 0) {
        result.body_unread += static_cast<size_t>(n);
      } else if (written) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    body_writer.join();
  }
  result.log = receiver.finish();
  return result;
}

// Whether `text` is all matched by `pattern`, in which "{LINE}" stands for one or more digits
// and "{ANY}" for any text.
bool matches(const char* pattern, const char* text) {
  if (strncmp(pattern, "{ANY}", 5) == 0) {
    for (const char* rest = text;; rest++) {
      if (matches(pattern + 5, rest)) {
        return true;
      }
      if (*rest == '\0') {
        return false;
      }
    }
  }
  if (strncmp(pattern, "{LINE}", 6) == 0) {
    for (const char* rest = text; isdigit(static_cast<unsigned char>(*rest));) {
      if (matches(pattern + 6, ++rest)) {
        return true;
      }
    }
    return false;
  }
  if (*pattern == '\0' || *pattern != *text) {
    return *pattern == '\0' && *text == '\0';
  }
  return matches(pattern + 1, text + 1);
}

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) {
    return "exit " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return std::string("signal ") + strsignal(WTERMSIG(status));
  }
  return "status " + std::to_string(status);
}

// A launcher's words, split on spaces, with the first resolved on PATH.
std::vector<std::string> launcher_words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  if (words.empty() || words[0].find('/') != std::string::npos) {
    return words;
  }
  std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    if (access((dir + "/" + words[0]).c_str(), X_OK) == 0) {
      words[0] = dir + "/" + words[0];
      break;
    }
  }
  return words;
}

// The program's launcher words: QUADVIEW_TEST_LAUNCHER split on spaces when set, otherwise the
// build's cross-compiling emulator (usually none). The first word is resolved on PATH.
std::vector<std::string> program_launcher() {
  const char* launcher = getenv("QUADVIEW_TEST_LAUNCHER");
  return launcher_words(launcher ? launcher : QUADVIEW_TEST_EMULATOR);
}

// The helper that sets environment variables from files (env_preload.c): this build's, or for a
// program built elsewhere one built for its processor, such as by a cross build's tests.
std::string preload_path() {
  const char* preload = getenv("QUADVIEW_TEST_PRELOAD");
  return preload && *preload ? preload : QUADVIEW_ENV_PRELOAD;
}

// Preloads the helper into the program. qemu-arm would try to load it into itself, so it is told
// to load it into the program.
void add_preload(sandbox_plan* plan) {
  plan->env.push_back(
      std::string(kEnvFilePrefix) + "TARGET=" + fs::path(program_path()).filename().string());
  const std::string preload = "LD_PRELOAD=" + preload_path();
  if (launcher_name().rfind("qemu-", 0) == 0) {
    plan->argv.insert(plan->argv.end(), {"-E", preload});
  } else {
    plan->env.push_back(preload);
  }
  // A program built with AddressSanitizer insists on its run-time library being loaded first.
  const char* asan_options = getenv("ASAN_OPTIONS");
  plan->env.push_back(
      std::string("ASAN_OPTIONS=") + (asan_options ? std::string(asan_options) + ":" : "") +
      "verify_asan_link_order=0");
}

// Checks the document that follows the headers of a run's output against the schema. Tests
// make up to hundreds of runs with a handful of distinct answers, so each distinct document is
// checked once per test process, which is why the record of valid ones outlives a test.
void expect_valid_answer(const std::string& out) {
  static std::mutex mutex;
  static std::set<std::string> valid;
  const size_t headers_end = out.find("\r\n\r\n");
  const std::string document = headers_end == std::string::npos ? out : out.substr(headers_end + 4);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (valid.count(document) != 0) {
      return;
    }
  }
  const std::string errors = schema_errors(document);
  if (!errors.empty()) {
    ADD_FAILURE() << "the answer does not match the schema:\n"
                  << errors << "the answer: " << testing::PrintToString(document);
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex);
  valid.insert(document);
}

}  // namespace

std::optional<std::string> child_process::start(
    const std::vector<std::string>& argv,
    const std::vector<std::string>& env,
    const std::string& stderr_path) {
  stop();
  const string_array args(argv);
  const string_array environment(env);
  const unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  const unique_fd err_fd(
      open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  pipe_pair line;
  if (!open_pipe(&line)) {
    return std::nullopt;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Nothing may outlive a test process that was killed, say by ctest's timeout.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent ||
        dup2(null_fd.get(), STDIN_FILENO) < 0 || dup2(line.write_end.get(), STDOUT_FILENO) < 0 ||
        dup2(err_fd.get(), STDERR_FILENO) < 0) {
      _exit(127);
    }
    execve(args.get()[0], args.get(), environment.get());
    fail_in_child("execute a helper");
  }
  pid_ = pid;
  line.write_end.reset();
  return pid > 0 ? read_line(line.read_end.get(), kStartupTimeoutMs) : std::nullopt;
}

int child_process::stop() {
  if (pid_ <= 0) {
    return -1;
  }
  kill(pid_, SIGTERM);
  int status = -1;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void expect_response(const cgi_result& result, const std::string& expected) {
  const auto split = [](const std::string& text) {
    const size_t end = text.find("\r\n\r\n");
    return end == std::string::npos ? std::make_pair(std::string(), text)
                                    : std::make_pair(text.substr(0, end + 4), text.substr(end + 4));
  };
  const auto [headers, body] = split(result.out);
  const auto [expected_headers, expected_body] = split(expected);
  EXPECT_EQ(headers, expected_headers);
  EXPECT_EQ(body, expected_body);
}

std::string schema_errors(const std::string& document) {
  // xmllint reads the document from a memory file and writes its report into another, so nothing
  // can block on a full pipe. No GLib here: its child watch would start a thread, which would
  // share the mount namespace that a test's thread may have entered on its own.
  const unique_fd input(memfd_create("document", MFD_CLOEXEC));
  const unique_fd report(memfd_create("report", MFD_CLOEXEC));
  if (input.get() < 0 || report.get() < 0 ||
      write(input.get(), document.data(), document.size()) !=
          static_cast<ssize_t>(document.size()) ||
      lseek(input.get(), 0, SEEK_SET) != 0) {
    return std::string("cannot run xmllint: ") + strerror(errno) + "\n";
  }
  const string_array argv({QUADVIEW_XMLLINT, "--noout", "--schema", QUADVIEW_SCHEMA, "-"});
  const string_array env({});
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(input.get(), STDIN_FILENO) < 0 || dup2(report.get(), STDOUT_FILENO) < 0 ||
        dup2(report.get(), STDERR_FILENO) < 0) {
      _exit(127);
    }
    execve(argv.get()[0], argv.get(), env.get());
    fail_in_child("execute xmllint");
  }
  int status = -1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return "";
  }
  const std::string text = read_file("/proc/self/fd/" + std::to_string(report.get()));
  return text.empty() ? "xmllint ended with " + describe_wait_status(status) + "\n" : text;
}

void expect_log(const cgi_result& result, const std::vector<expected_log>& expected) {
  std::string lines;
  for (const log_line& line : result.log) {
    lines += "  " + testing::PrintToString(line.raw) + "\n";
  }
  ASSERT_EQ(result.log.size(), expected.size()) << "syslog lines:\n" << lines;
  for (size_t i = 0; i < expected.size(); i++) {
    const log_line& line = result.log[i];
    SCOPED_TRACE("syslog line " + std::to_string(i) + ": " + testing::PrintToString(line.raw));
    EXPECT_EQ(line.facility, 1) << "not the user facility";
    EXPECT_EQ(line.priority, expected[i].priority);
    EXPECT_TRUE(matches(expected[i].pattern.c_str(), line.message.c_str()))
        << "expected " << testing::PrintToString(expected[i].pattern);
  }
}

bool has_launcher() { return !program_launcher().empty(); }

std::string launcher_name() {
  const std::vector<std::string> launcher = program_launcher();
  return launcher.empty() ? "" : fs::path(launcher[0]).filename().string();
}

std::string program_path() {
  const char* program = getenv("QUADVIEW_TEST_PROGRAM");
  return program && *program ? program : QUADVIEW_PROGRAM;
}

std::string why_no_environment_from_files() {
  // The ELF class, byte order and machine: bytes 4, 5, 18 and 19 of the file.
  const auto machine_type = [](const std::string& path) {
    const std::string head = read_file(path).substr(0, 20);
    if (head.size() < 20 || head.compare(0, 4, "\177ELF") != 0) {
      return std::string();
    }
    return head.substr(4, 2) + head.substr(18, 2);
  };
  const std::string program = machine_type(program_path());
  if (program.empty() || program != machine_type(preload_path())) {
    return "requests over 128 KiB go through a helper preloaded into the program, and the "
           "helper " +
           preload_path() + " cannot be loaded into " + program_path() +
           " (QUADVIEW_TEST_PRELOAD names one built for its processor)";
  }
  return "";
}

void QuadviewTest::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "quadview-e2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
  temp_dir_ = pattern;
  layout_dir_ = temp_path("layout");
  fs::create_directory(layout_dir_);
  fs::create_directory(temp_path("sandbox"));

  // The simulated camera's bus, as the demo has it.
  fs::create_directory(temp_path("bus"));
  const char* path = getenv("PATH");
  const std::optional<std::string> address = bus_.start(
      {QUADVIEW_CAMERA_BUS, temp_path("bus")},
      {std::string("PATH=") + (path ? path : "/usr/bin:/bin")},
      temp_path("bus.log"));
  ASSERT_TRUE(address) << "dbus-daemon did not start:\n" << read_file(temp_path("bus.log"));
  bus_address_ = *address;
}

void QuadviewTest::TearDown() {
  const bool had_services = services_.pid() > 0;
  const int services_status = services_.stop();
  if (had_services) {
    EXPECT_TRUE(WIFEXITED(services_status) && WEXITSTATUS(services_status) == 0)
        << "quadview-sim ended with " << describe_wait_status(services_status) << ":\n"
        << read_file(temp_path("sim.log"));
  }
  bus_.stop();
  if (!temp_dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(temp_dir_, ignored);
  }
}

std::vector<std::string> QuadviewTest::services_command(
    const std::vector<std::string>& args) const {
  // Built by the same build as the program: in a cross build it runs under the emulator too
  // (never under QUADVIEW_TEST_LAUNCHER, which wraps the program alone).
  std::vector<std::string> argv = launcher_words(QUADVIEW_TEST_EMULATOR);
  argv.push_back(QUADVIEW_SIM);
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), {"--record", temp_path("record")});
  return argv;
}

void QuadviewTest::start_services(const std::vector<std::string>& args) {
  const std::optional<std::string> line = services_.start(
      services_command(args), {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_address_}, temp_path("sim.log"));
  ASSERT_EQ(line, std::optional<std::string>("ready")) << "quadview-sim did not start:\n"
                                                       << read_file(temp_path("sim.log"));
}

void QuadviewTest::offer_services(const std::vector<std::string>& args) {
  services_.stop();
  std::ofstream service(temp_path("bus/services/quadview-sim.service"));
  service << "[D-BUS Service]\nName=" QUADVIEW_IMAGE_CONTROL_NAME "\nExec=/usr/bin/env "
          << "DBUS_SYSTEM_BUS_ADDRESS=" << bus_address_;
  for (const std::string& word : services_command(args)) {
    service << " " << word;
  }
  service << "\n";
}

cgi_result QuadviewTest::run(
    const std::optional<std::string>& script_name,
    const std::optional<std::string>& query_string,
    const run_options& options) {
  const std::string run_name = "run" + std::to_string(run_count_++);
  sandbox_plan plan;
  plan.argv = program_launcher();
  std::vector<std::string> request_files;
  const auto pass_variable = [&](const char* name, const std::optional<std::string>& value) {
    if (!value) {
      return;
    }
    if (!options.environment_from_files) {
      plan.env.push_back(std::string(name) + "=" + *value);
      return;
    }
    const std::string path = temp_path(run_name + "-" + name);
    std::ofstream(path, std::ios::binary) << *value;
    request_files.push_back(path);
    plan.env.push_back(std::string(kEnvFilePrefix) + name + "=" + path);
  };
  pass_variable("SCRIPT_NAME", script_name);
  pass_variable("QUERY_STRING", query_string);
  if (options.environment_from_files || !options.fail.empty() || !options.probe_report.empty()) {
    add_preload(&plan);
  }
  if (!options.fail.empty()) {
    plan.env.push_back("QUADVIEW_FAIL=" + options.fail);
  }
  if (!options.probe_report.empty()) {
    plan.env.push_back("QUADVIEW_PROBE_REPORT=" + options.probe_report);
  }
  plan.argv.push_back(program_path());
  plan.argv.insert(plan.argv.end(), options.arguments.begin(), options.arguments.end());
  plan.env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + options.bus_address.value_or(bus_address_));
  plan.env.push_back("G_DEBUG=fatal-warnings");
  // Another GLib than the one the program was built with, such as an older camera's.
  if (const char* libraries = getenv("QUADVIEW_TEST_LIBRARY_PATH"); libraries && *libraries) {
    plan.env.push_back(std::string("LD_LIBRARY_PATH=") + libraries);
  }
  plan.private_dir = temp_path("sandbox");
  plan.layout_dir = layout_dir_;
  plan.log_socket = temp_path(run_name + "-log");
  plan.options = options;
  plan.env.insert(plan.env.end(), options.environment.begin(), options.environment.end());

  cgi_result result = run_sandboxed(plan);
  // valgrind 3.19 does not know Landlock's calls: it fails them (ENOSYS, so the program goes on
  // without Landlock) with a warning that is no finding of the program's.
  if (launcher_name() == "valgrind") {
    static const std::regex kLandlockUnknown(
        "--[0-9]+-- WARNING: unhandled [a-z0-9]+-linux syscall: 44[4-6]\n(--[0-9]+-- .*\n){4}");
    result.err = std::regex_replace(result.err, kLandlockUnknown, "");
  }
  for (const std::string& path : request_files) {
    unlink(path.c_str());
  }
  unlink(plan.log_socket.c_str());
  // What a web server needs of every run, whatever the request.
  const bool killed = options.fail.find("kill-on-flush") != std::string::npos;
  EXPECT_TRUE(
      killed ? WIFSIGNALED(result.wait_status) && WTERMSIG(result.wait_status) == SIGKILL
             : WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == 0)
      << "the program ended with " << describe_wait_status(result.wait_status);
  EXPECT_EQ(result.err, "");
  const auto& environment = options.environment;
  const auto passes = [&](const char* variable) {
    return std::any_of(environment.begin(), environment.end(), [&](const std::string& pair) {
      return pair.rfind(variable, 0) == 0;
    });
  };
  const bool command_line = !options.arguments.empty() && !passes("GATEWAY_INTERFACE=");
  const bool read_out =
      options.output != stdout_state::kHungUp && options.output != stdout_state::kClosed;
  if (read_out && !killed && !passes("REQUEST_METHOD=HEAD") && !command_line) {
    expect_valid_answer(result.out);
  }
  return result;
}

void QuadviewTest::write_layout(const std::string& text) {
  std::ofstream(layout_path(), std::ios::binary) << text;
}

std::optional<std::string> QuadviewTest::read_layout() const {
  return fs::exists(layout_path()) ? std::make_optional(read_file(layout_path())) : std::nullopt;
}

std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> QuadviewTest::layout_folder() const { return folder_names(layout_dir_); }

std::vector<std::string> QuadviewTest::recorded_calls() const {
  std::istringstream in(read_file(temp_path("record")));
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) {
    calls.push_back(line);
  }
  return calls;
}

bool QuadviewTest::wait_for_call(const std::string& call) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (read_file(temp_path("record")).find(call + "\n") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void QuadviewTest::signal_bus(int signal) const { kill(bus_.pid(), signal); }

void QuadviewTest::forget_calls() { std::ofstream(temp_path("record"), std::ios::trunc); }

int QuadviewTest::count_calls(const std::string& call) const {
  const std::vector<std::string> calls = recorded_calls();
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

}  // namespace e2e
