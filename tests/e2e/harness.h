// SPDX-License-Identifier: MIT
// The end-to-end harness: the built program run as the web server runs it, against a private
// dbus-daemon and the simulated camera services, in a sandbox where the program's layout folder is
// a folder of the test's and /dev/log a socket of the test's.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <syslog.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "expected.h"

namespace e2e {

using namespace expected;

// Where the program finds its layout file (CMake's QUADVIEW_LAYOUT_PATH): its folder, which the
// sandbox makes the test's, and its name.
inline const std::string kLayoutFolder = std::filesystem::path(kLayoutPath).parent_path();
inline const std::string kLayoutName = std::filesystem::path(kLayoutPath).filename();

// The program's two names, as SCRIPT_NAME has them.
constexpr char kGet[] = "/cgi-bin/getquadview.cgi";
constexpr char kSet[] = "/cgi-bin/setquadview.cgi";

// A datagram received on /dev/log: "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE".
struct log_line {
  int facility;
  int priority;
  std::string message;
  std::string raw;
};

// What one run of the program produced.
struct cgi_result {
  std::string out;
  std::string err;
  int wait_status = -1;
  std::vector<log_line> log;
  // From the start of the program to its end.
  std::chrono::milliseconds elapsed{0};
  // From the start of the program to the end of its standard output.
  std::chrono::milliseconds output_elapsed{0};
  // How much of run_options::body the program left unread.
  size_t body_unread = 0;
};

// What the program's standard output is when it starts.
enum class stdout_state {
  kPipe,    // a pipe that the test reads to its end: the answer lands in cgi_result::out
  kHungUp,  // a pipe whose reading end is already closed, as after a client hung up
  kClosed,  // no open descriptor at all
  // A pipe read as kPipe is, which is standard error too (as mini_httpd gives it); stderr is
  // then not checked apart.
  kSharedWithStderr,
  // One socket for standard input and output (as Apache httpd's mod_cgid gives it), read as
  // kPipe is, through which run_options::body comes.
  kSocketWithStdin,
};

struct run_options {
  // Mounts the layout folder read-only, so that saving the layout fails.
  bool read_only_layout = false;
  // Mounts this folder of the test's read-only too (where a link at the layout path leads).
  std::string read_only_folder;
  // The file mode creation mask the program starts with; the test's own when unset.
  std::optional<mode_t> umask;
  // Replaces the private bus's address in DBUS_SYSTEM_BUS_ADDRESS.
  std::optional<std::string> bus_address;
  stdout_state output = stdout_state::kPipe;
  // Starts the program with standard input and standard error closed too (stderr is then not
  // checked).
  bool close_stdin_and_stderr = false;
  // Called on a thread of its own with the program's process id while the program runs, before
  // it is reaped.
  std::function<void(pid_t)> while_running;
  // CGI variables beyond SCRIPT_NAME and QUERY_STRING, as "NAME=value".
  std::vector<std::string> environment;
  // Command-line words after the program's path. Without GATEWAY_INTERFACE in `environment`, the
  // run is not a CGI request and its output is not checked as an answer.
  std::vector<std::string> arguments;
  // The request body on standard input, through a pipe that is closed once all of it is written
  // (nullopt: /dev/null); with `body_stays_open`, only once the program has ended.
  std::optional<std::string> body;
  bool body_stays_open = false;
  // How long after the start the body comes.
  std::chrono::milliseconds body_delay{0};
  // Hands SCRIPT_NAME and QUERY_STRING over in files, which a helper preloaded into the program
  // puts into its environment before main: Linux refuses an environment string longer than
  // 128 KiB at exec.
  bool environment_from_files = false;
  // Makes calls fail in the program through the same preloaded helper: a comma-separated list of
  // the faults that env_preload.c names. With "kill-on-flush" the run expects SIGKILL, not an exit.
  std::string fail;
  // Has the same helper try what no request may do once the program has confined itself
  // (env_preload.c): read "secret" and create "created" in this file's folder, run /bin/true,
  // connect to the TCP port QUADVIEW_PROBE_PORT (set in `environment`); it writes into this file
  // the errno each try ended with.
  std::string probe_report;
  // Mounts an empty, read-only folder over /proc, as a chroot without /proc has it.
  bool no_proc = false;
  // Starts the program with every signal blocked, or with no room for a queued signal
  // (RLIMIT_SIGPENDING 0), as a careless parent may leave it.
  bool signals_blocked = false;
  bool no_signal_queue = false;
};

// A child process started by the harness; it is sent SIGTERM when the test process dies.
class child_process {
 public:
  child_process() = default;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  ~child_process() { stop(); }

  // Starts `argv` with `env`, stdin on /dev/null, stdout a pipe, stderr appended to
  // `stderr_path`; returns the first line the child writes to stdout, or nullopt when it starts
  // or writes none within a minute.
  std::optional<std::string> start(
      const std::vector<std::string>& argv,
      const std::vector<std::string>& env,
      const std::string& stderr_path);

  // Sends SIGTERM and reaps the child; returns its wait status, or -1 when none was running.
  int stop();

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string& path);

// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string& folder);

// Checks that the run ended as every run must (exit 0, nothing on stderr) and that its output is
// exactly `expected`, comparing the headers and the body separately for a readable failure.
void expect_response(const cgi_result& result, const std::string& expected);

// The schema's verdict on an XML document: "" when the document is valid, otherwise xmllint's
// report.
std::string schema_errors(const std::string& document);

// Checks the run's syslog lines against `expected`, in order and all of them; every line must
// come from the user facility.
void expect_log(const cgi_result& result, const std::vector<expected_log>& expected);

// Whether this build uses AddressSanitizer, the program as well as the tests.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Whether the program runs under a launcher (an emulator or a checker such as valgrind), which
// makes every run several times slower.
bool has_launcher();

// The launcher's file name, such as "qemu-arm" or "valgrind"; "" without a launcher.
std::string launcher_name();

// The program under test: QUADVIEW_TEST_PROGRAM when set (a program built elsewhere, such as by a
// firmware SDK), otherwise this build's own.
std::string program_path();

// Why requests cannot be handed over in files (run_options::environment_from_files) to the
// program under test, or "" when they can: the helper preloaded for it is built by this build,
// and loads only into a program of the same machine type.
std::string why_no_environment_from_files();

// Per test: a temp dir, a private bus, the simulated services on demand, and the layout folder
// that the sandboxed program sees as kLayoutFolder.
class QuadviewTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the simulator with `args` (and --record) and waits for it to be ready.
  void start_services(const std::vector<std::string>& args = {});

  // Stops the simulator, as when the camera's services go away.
  void stop_services() { services_.stop(); }

  // Stops the simulator and leaves it for the bus to start with `args` (and --record) when the
  // image-control service is first called, as a camera's bus starts a service that has a
  // .service file.
  void offer_services(const std::vector<std::string>& args);

  pid_t services_pid() const { return services_.pid(); }

  // Runs the program with SCRIPT_NAME and QUERY_STRING set as given (nullopt: unset), and checks
  // the document it answers, if any, against the schema. Safe to call from several threads at
  // once.
  cgi_result run(
      const std::optional<std::string>& script_name,
      const std::optional<std::string>& query_string,
      const run_options& options = {});

  cgi_result get(
      const std::optional<std::string>& query_string = std::nullopt,
      const run_options& options = {}) {
    return run("/cgi-bin/getquadview.cgi", query_string, options);
  }

  cgi_result set(const std::optional<std::string>& query_string, const run_options& options = {}) {
    return run("/cgi-bin/setquadview.cgi", query_string, options);
  }

  void write_layout(const std::string& text);

  // The layout file's contents, or nullopt when there is none.
  std::optional<std::string> read_layout() const;

  // The names in the layout folder, sorted.
  std::vector<std::string> layout_folder() const;

  // The simulator's record, one entry per method call received.
  std::vector<std::string> recorded_calls() const;

  int count_calls(const std::string& call) const;

  // Waits until the simulator has recorded `call`; false after a minute.
  bool wait_for_call(const std::string& call) const;

  // Sends `signal` to the private bus daemon (SIGSTOP stops it, SIGCONT lets it go on).
  void signal_bus(int signal) const;

  // Empties the simulator's record.
  void forget_calls();

  // A path in the test's temp dir.
  std::string temp_path(const std::string& name) const { return temp_dir_ + "/" + name; }

  // The folder that the program sees as kLayoutFolder.
  const std::string& layout_dir() const { return layout_dir_; }

  // The layout file as the test sees it.
  std::string layout_path() const { return layout_dir_ + "/" + kLayoutName; }

  const std::string& bus_address() const { return bus_address_; }

 private:
  // The simulator's command line with `args` (and --record).
  std::vector<std::string> services_command(const std::vector<std::string>& args) const;

  std::string temp_dir_;
  std::string layout_dir_;
  std::string bus_address_;
  child_process bus_;
  child_process services_;
  // Numbers the runs, which may overlap, so that each has files of its own.
  std::atomic<int> run_count_{0};
};

}  // namespace e2e
