// SPDX-License-Identifier: MIT
// quadview: the CGI program behind getquadview.cgi and setquadview.cgi. The web server runs it
// once per request; it writes one response to standard output and always exits with 0.

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log_value.h"
#include "base/time_budget.h"
#include "cgi/request.h"
#include "cgi/sandbox.h"
#include "layout/layout.h"

namespace {

// A web server may start us with a standard stream closed. Keep 0 to 2 taken, so that no file or
// socket opened later (the layout file's temporary copy, the bus connection) gets one of those
// numbers and receives the answer meant for standard output.
void keep_standard_streams_taken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", O_RDWR);
    }
  }
}

// Writes all of `text` to standard output; a client that hung up gets nothing more.
void write_answer(const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, text, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// The length of the request body that CONTENT_LENGTH gives: 0 unless it is a decimal number.
// Without one, a body announced otherwise (Transfer-Encoding: chunked, which some servers pass on
// as it came, with no CONTENT_LENGTH) goes to the end of the input: G_MAXUINT64.
guint64 body_length(const char* content_length, const char* transfer_encoding) {
  if ((!content_length || !*content_length) && transfer_encoding && *transfer_encoding) {
    return G_MAXUINT64;
  }
  guint64 length = 0;
  for (const char* p = content_length ? content_length : ""; *p; p++) {
    if (!g_ascii_isdigit(*p) || length > (G_MAXUINT64 - 9) / 10) {
      return 0;
    }
    length = length * 10 + static_cast<guint64>(*p - '0');
  }
  return length;
}

// Whether descriptors `a` and `b` are the same open file (or socket).
bool same_file(int a, int b) {
  struct stat sa;
  struct stat sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Ends the response: a web server completes it when the program's output ends, which would
// otherwise wait for the body to be read. A socket that is also the input is shut down for
// writing only; otherwise /dev/null takes the output's place, and standard error's too when it is
// the same pipe (as some servers give it), so that nothing holds the output open.
void end_output() {
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) == 0 && S_ISSOCK(st.st_mode) &&
      same_file(STDIN_FILENO, STDOUT_FILENO)) {
    shutdown(STDOUT_FILENO, SHUT_WR);
    return;
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    return;
  }
  if (same_file(STDERR_FILENO, STDOUT_FILENO)) {
    dup2(null, STDERR_FILENO);
  }
  dup2(null, STDOUT_FILENO);
  close(null);
}

// Reads the request body from standard input and drops it: the parameters come from the query
// alone, but a web server that hands the program one socket for input and output resets the
// connection, answer and all, when the program ends with input unread. Stops at the end of the
// input, on a read error, and at `end_time`.
void discard_request_body(guint64 length, gint64 end_time) {
  char buffer[16384];
  while (length > 0) {
    const gint64 left_us = end_time - g_get_monotonic_time();
    if (left_us <= 0) {
      return;
    }
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, static_cast<int>((left_us + 999) / 1000));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return;
    }
    const ssize_t got = read(STDIN_FILENO, buffer, MIN(sizeof buffer, length));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0) {
      return;
    }
    length -= static_cast<guint64>(got);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const gint64 end_time = g_get_monotonic_time() + kRequestLimitUs;
  keep_standard_streams_taken();
  send_glib_messages_to_syslog();
  // Before anything of the request is read: whatever a request makes the program do, it can then
  // touch nothing but the layout folder and the bus, and run nothing.
  confine_process(kLayoutPath);

  // Under a web server the arguments are never read: a query without '=' reaches a CGI program as
  // command-line words (RFC 3875, 4.4), so "getquadview.cgi?--version" is still a read.
  if (!g_getenv("GATEWAY_INTERFACE") && argc == 2 && g_strcmp0(argv[1], "--version") == 0) {
    constexpr char kVersion[] = "quadview " QUADVIEW_VERSION "\n";
    write_answer(kVersion, sizeof kVersion - 1);
    return 0;
  }

  // A client that hangs up early closes our stdout; that must not kill the request half-way.
  signal(SIGPIPE, SIG_IGN);

  // Every answer fits, so the buffer never has to grow.
  g_autoptr(GString) output = g_string_sized_new(1024);
  const cgi_variables variables = {
      g_getenv("SCRIPT_NAME"),
      g_getenv("QUERY_STRING"),
      g_getenv("REQUEST_METHOD"),
      g_getenv("HTTP_SEC_FETCH_SITE"),
  };
  serve_request(variables, end_time, output);
  write_answer(output->str, output->len);

  // The answer is out and ended first: a body that is slow to come or never comes delays nothing.
  const guint64 length =
      body_length(g_getenv("CONTENT_LENGTH"), g_getenv("HTTP_TRANSFER_ENCODING"));
  if (length > 0) {
    end_output();
    discard_request_body(length, end_time);
  }
  return 0;
}
