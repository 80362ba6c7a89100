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

}  // namespace

int main() {
  keep_standard_streams_taken();

  // A client that hangs up early closes our stdout; that must not kill the request half-way.
  signal(SIGPIPE, SIG_IGN);

  g_autoptr(GString) output = g_string_new(nullptr);
  serve_request(g_getenv("SCRIPT_NAME"), g_getenv("QUERY_STRING"), output);

  fwrite(output->str, 1, output->len, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  return 0;
}
