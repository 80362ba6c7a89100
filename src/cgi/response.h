// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>

#include "cgi/xmlnode.h"
#include "layout/layout.h"

// Returns a new, empty success body: the element `Success` that the handlers fill.
xmlnode* create_success_body();

// Adds the read request's answer to the success body: the source id of each subview in order.
void add_layout_success(xmlnode* success_body, const quadview_config* config);

// Adds the write request's answer to the success body.
void add_general_success(xmlnode* success_body);

// Sets `output` to the response to HEAD: the CGI headers alone.
void build_head_response(GString* output);

// Builds the response for `status` and sets `output` to its bytes: the CGI headers, the XML
// declaration and the QuadViewResponse document, holding the success body when `status` is 0
// and the error matching `status` otherwise. Takes ownership of `success_body`.
void build_response(int status, xmlnode* success_body, GString* output);
