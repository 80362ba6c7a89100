// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>

#include "cgi/xmlnode.h"
#include "device/service_exchange.h"
#include "layout/layout.h"

// Parses an `id` list: exactly four comma-separated pieces, each a single digit from 1 to 4.
// Returns true and fills `config`, or false, leaving `config` alone.
bool parse_id_list(const char* list, quadview_config* config);

// getquadview.cgi: adds the current mount's layout to the success body, asking the camera's
// services in the request's `session`. Returns 0, or the failed read's status code with nothing
// added.
int handle_get_quadview(service_session* session, xmlnode* success_body);

// setquadview.cgi: stores the layout given by the `id` parameter ("d,d,d,d", each 1 to 4) and
// adds GeneralSuccess to the success body, asking the camera's services in the request's
// `session`. Returns 0; -EBADF for a missing or malformed `id`; otherwise the status code of the
// failed read or write, with nothing added.
int handle_set_quadview(GHashTable* params, service_session* session, xmlnode* success_body);
