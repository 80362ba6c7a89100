// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>

// Returns a new, empty parameter table: text keys to text values, both owned by the table.
GHashTable* create_parameter_table();

// Percent-decodes SCRIPT_NAME and QUERY_STRING (either may be nullptr when unset) into `params`:
// `cgi` holds the last path component of SCRIPT_NAME, and each query parameter is stored under
// its name, a later one replacing an earlier one. Query parameters never set `cgi`.
// Returns 0, or -EINVAL when SCRIPT_NAME is unset or malformed; the table is then left alone.
int decode_request(const char* script_name, const char* query_string, GHashTable* params);

// The request that a CGI name selects.
enum class cgi_request { kNone, kGetQuadview, kSetQuadview };

// Picks the request from the table's `cgi` entry, logging why when there is none.
cgi_request find_cgi_request(GHashTable* params);

// The CGI variables a request is served from, each nullptr when unset.
struct cgi_variables {
  const char* script_name;
  const char* query_string;
  const char* request_method;
  const char* fetch_site;  // HTTP_SEC_FETCH_SITE: where a browser sent the request from
};

// Serves one CGI request, asking the camera's services only until `end_time` (on the monotonic
// clock), and sets `output` to the whole response to write: the headers alone for HEAD, which
// runs no handler, otherwise the headers and the document followed by a newline.
void serve_request(const cgi_variables& variables, gint64 end_time, GString* output);
