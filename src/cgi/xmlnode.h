// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>

// A small element tree for the response document: a name, optional text, attributes and child
// elements, kept and rendered in the order in which they were added.
struct xmlnode;

// Returns a new element without name, text, attributes or children.
xmlnode* xmlnode_create_node();

// Sets the element's name; the element keeps its own copy.
void xmlnode_set_name(xmlnode* node, const char* name);

// Sets the element's text; the element keeps its own copy.
void xmlnode_set_text(xmlnode* node, const char* text);

// Appends an attribute after the existing ones; the element keeps its own copies.
void xmlnode_add_attribute(xmlnode* node, const char* name, const char* value);

// Appends `child` itself (not a copy) to `parent`, which owns it from then on.
void xmlnode_add_child(xmlnode* parent, xmlnode* child);

// Returns the element and its subtree as newly allocated XML text (g_free), without a declaration.
// Texts and attribute values are escaped.
char* xmlnode_get_xml(const xmlnode* node);

// Appends what xmlnode_get_xml() returns to `out`.
void xmlnode_append_xml(const xmlnode* node, GString* out);

// Detaches the element from its parent, if it has one, and releases it with its whole subtree.
// Does nothing for nullptr.
void xmlnode_remove_node(xmlnode* node);

G_DEFINE_AUTOPTR_CLEANUP_FUNC(xmlnode, xmlnode_remove_node)
