// SPDX-License-Identifier: MIT
// quadview: the CGI program behind getquadview.cgi and setquadview.cgi. The web server runs it
// once per request; it writes one response to standard output and always exits with 0.

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "cgi/request.h"

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
guint64 body_length(const char* content_length) {
  guint64 length = 0;
  for (const char* p = content_length ? content_length : ""; *p; p++) {
    if (!g_ascii_isdigit(*p) || length > (G_MAXUINT64 - 9) / 10) {
      return 0;
    }
    length = length * 10 + static_cast<guint64>(*p - '0');
  }
  return length;
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

  // The answer is out first: a body that is slow to come or never comes delays nothing.
  discard_request_body(body_length(g_getenv("CONTENT_LENGTH")), end_time);
  return 0;
}
