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

// Serves one CGI request from SCRIPT_NAME and QUERY_STRING (nullptr when unset) and sets
// `output` to the whole response, which the caller writes followed by a newline.
void serve_request(const char* script_name, const char* query_string, GString* output);
