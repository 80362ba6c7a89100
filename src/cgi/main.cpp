// quadview: the CGI program behind getquadview.cgi and setquadview.cgi. The web server runs it
// once per request; it writes one response to standard output and always exits with 0.

#include <glib.h>
#include <signal.h>
#include <stdio.h>

#include "cgi/request.h"

int main() {
  // A client that hangs up early closes our stdout; that must not kill the request half-way.
  signal(SIGPIPE, SIG_IGN);

  g_autoptr(GString) output = g_string_new(nullptr);
  serve_request(g_getenv("SCRIPT_NAME"), g_getenv("QUERY_STRING"), output);

  fwrite(output->str, 1, output->len, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  return 0;
}
