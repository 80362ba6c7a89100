// quadview: the CGI program behind getquadview.cgi and setquadview.cgi. The web server runs it
// once per request; it writes one response to standard output and always exits with 0.

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
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

}  // namespace

int main() {
  keep_standard_streams_taken();

  // A client that hangs up early closes our stdout; that must not kill the request half-way.
  signal(SIGPIPE, SIG_IGN);

  // Every answer fits, so the buffer never has to grow.
  g_autoptr(GString) output = g_string_sized_new(1024);
  serve_request(g_getenv("SCRIPT_NAME"), g_getenv("QUERY_STRING"), output);

  g_string_append_c(output, '\n');
  write_answer(output->str, output->len);
  return 0;
}
