// SPDX-License-Identifier: MIT
#include "cgi/xmlnode.h"

#include <gtest/gtest.h>

namespace {

TEST(Xmlnode, KeepsOrderAndEscapesTextAndAttributes) {
  g_autoptr(xmlnode) root = xmlnode_create_node();
  xmlnode_set_name(root, "a");
  xmlnode_add_attribute(root, "q", "\"<&>'");
  xmlnode_add_attribute(root, "b", "2");
  xmlnode* first = xmlnode_create_node();
  xmlnode_add_child(root, first);
  // Changes made after adding a child show in the parent's tree.
  xmlnode_set_name(first, "x");
  xmlnode_set_text(first, "1 < 2 & 3");
  xmlnode* second = xmlnode_create_node();
  xmlnode_set_name(second, "y");
  xmlnode_add_child(root, second);

  g_autofree char* xml = xmlnode_get_xml(root);
  EXPECT_STREQ(xml, "<a q=\"&quot;&lt;&amp;&gt;&apos;\" b=\"2\"><x>1 &lt; 2 &amp; 3</x><y/></a>");
}

TEST(Xmlnode, RemovingAChildDetachesItAndKeepsItsSiblings) {
  g_autoptr(xmlnode) root = xmlnode_create_node();
  xmlnode_set_name(root, "r");
  xmlnode* children[3];
  for (int i = 0; i < 3; i++) {
    children[i] = xmlnode_create_node();
    g_autofree char* name = g_strdup_printf("c%d", i);
    xmlnode_set_name(children[i], name);
    xmlnode_add_child(root, children[i]);
  }
  xmlnode* grandchild = xmlnode_create_node();
  xmlnode_set_name(grandchild, "g");
  xmlnode_add_child(children[1], grandchild);

  xmlnode_remove_node(children[1]);
  g_autofree char* xml = xmlnode_get_xml(root);
  EXPECT_STREQ(xml, "<r><c0/><c2/></r>");
}

}  // namespace
