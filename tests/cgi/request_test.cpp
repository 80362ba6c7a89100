// SPDX-License-Identifier: MIT
#include "cgi/request.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "cgi/handlers.h"

namespace {

using Table = std::map<std::string, std::string>;

Table to_map(GHashTable* params) {
  Table table;
  GHashTableIter iter;
  gpointer key;
  gpointer value;
  g_hash_table_iter_init(&iter, params);
  while (g_hash_table_iter_next(&iter, &key, &value)) {
    table.emplace(static_cast<const char*>(key), static_cast<const char*>(value));
  }
  return table;
}

struct DecodeCase {
  std::optional<std::string> script_name;
  std::optional<std::string> query_string;
  int status;
  Table table;
};

TEST(DecodeRequest, FillsTheParameterTable) {
  const DecodeCase cases[] = {
      {"/cgi-bin/getquadview.cgi", std::nullopt, 0, {{"cgi", "getquadview.cgi"}}},
      {"getquadview.cgi", "", 0, {{"cgi", "getquadview.cgi"}}},
      {"/cgi-bin/get%71uadview.cgi", std::nullopt, 0, {{"cgi", "getquadview.cgi"}}},
      {"/cgi-bin/", std::nullopt, 0, {{"cgi", ""}}},
      {"", "id=1,2,3,4", 0, {{"id", "1,2,3,4"}}},
      {"/s.cgi", "id=1,2,3,4&id=4,3,2,1", 0, {{"cgi", "s.cgi"}, {"id", "4,3,2,1"}}},
      {"/s.cgi", "=x&&id", 0, {{"cgi", "s.cgi"}, {"id", ""}}},
      {"/s.cgi", "id=1%2C2%2C3%2C4", 0, {{"cgi", "s.cgi"}, {"id", "1,2,3,4"}}},
      {"/s.cgi", "a=b=c", 0, {{"cgi", "s.cgi"}, {"a", "b=c"}}},
      {"/s.cgi", "a=1%26b%3D2", 0, {{"cgi", "s.cgi"}, {"a", "1"}, {"b", "2"}}},
      {"/s.cgi", "a=x+y&b=", 0, {{"cgi", "s.cgi"}, {"a", "x+y"}, {"b", ""}}},
      {"/s.cgi", "a=1&id=%zz", 0, {{"cgi", "s.cgi"}}},
      {"/s.cgi", "a=%00", 0, {{"cgi", "s.cgi"}}},
      // The CGI name comes from SCRIPT_NAME alone, never from the query.
      {"/cgi-bin/getquadview.cgi",
       "cgi=setquadview.cgi&id=2,3,4,1",
       0,
       {{"cgi", "getquadview.cgi"}, {"id", "2,3,4,1"}}},
      {"", "cgi=getquadview.cgi", 0, {}},
      {std::nullopt, "id=1,2,3,4", -EINVAL, {}},
      {"/cgi-bin/%zz", "id=1,2,3,4", -EINVAL, {}},
      {"/cgi-bin/get%00quadview.cgi", std::nullopt, -EINVAL, {}},
      {"/cgi-bin/getquadview.cgi%", std::nullopt, -EINVAL, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(
        "SCRIPT_NAME=" + c.script_name.value_or("(unset)") +
        " QUERY_STRING=" + c.query_string.value_or("(unset)"));
    g_autoptr(GHashTable) params = create_parameter_table();
    const int status = decode_request(
        c.script_name ? c.script_name->c_str() : nullptr,
        c.query_string ? c.query_string->c_str() : nullptr,
        params);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(to_map(params), c.table);
  }
}

TEST(FindCgiRequest, MatchesTheFirstFifteenBytesOfTheName) {
  const std::pair<const char*, cgi_request> cases[] = {
      {"getquadview.cgi", cgi_request::kGetQuadview},
      {"getquadview.cgi.old", cgi_request::kGetQuadview},
      {"setquadview.cgi", cgi_request::kSetQuadview},
      {"setquadview.cgi?x", cgi_request::kSetQuadview},
      {"getquadview", cgi_request::kNone},
      {"getquadview.cg", cgi_request::kNone},
      {"GETQUADVIEW.CGI", cgi_request::kNone},
      {"", cgi_request::kNone},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(name);
    g_autoptr(GHashTable) params = create_parameter_table();
    g_hash_table_insert(params, g_strdup("cgi"), g_strdup(name));
    EXPECT_EQ(find_cgi_request(params), expected);
  }
}

TEST(FindCgiRequest, NoNameSelectsNothing) {
  g_autoptr(GHashTable) params = create_parameter_table();
  g_hash_table_insert(params, g_strdup("id"), g_strdup("getquadview.cgi"));
  EXPECT_EQ(find_cgi_request(params), cgi_request::kNone);
}

TEST(ParseIdList, AcceptsExactlyFourSingleDigitsFromOneToFour) {
  const std::pair<const char*, std::optional<quadview_config>> cases[] = {
      {"2,3,4,1", quadview_config{{2, 3, 4, 1}}},
      {"1,1,1,1", quadview_config{{1, 1, 1, 1}}},
      {"4,4,4,4", quadview_config{{4, 4, 4, 4}}},
      {"", std::nullopt},
      {"1,2,3", std::nullopt},
      {"1,2,3,4,1", std::nullopt},
      {"1,2,3,4,", std::nullopt},
      {",1,2,3", std::nullopt},
      {"0,1,2,3", std::nullopt},
      {"5,1,2,3", std::nullopt},
      {"01,2,3,4", std::nullopt},
      {" 1,2,3,4", std::nullopt},
      {"1 ,2,3,4", std::nullopt},
      {"a,2,3,4", std::nullopt},
      {"1,2,3,+4", std::nullopt},
      {"1;2;3;4", std::nullopt},
  };
  for (const auto& [list, expected] : cases) {
    SCOPED_TRACE(list);
    quadview_config config = {{9, 9, 9, 9}};
    ASSERT_EQ(parse_id_list(list, &config), expected.has_value());
    const quadview_config want = expected.value_or(quadview_config{{9, 9, 9, 9}});
    for (int i = 0; i < kSubviewCount; i++) {
      EXPECT_EQ(config.id[i], want.id[i]) << "subview " << i;
    }
  }
}

}  // namespace
