// SPDX-License-Identifier: MIT
// The schema that clients validate answers with: it accepts every answer the program gives and
// nothing else. (The harness checks every answer of every end-to-end run against it.)

#include <string>

#include "harness.h"

namespace e2e {
namespace {

std::string with_root(const std::string& attributes, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><QuadViewResponse " + attributes + ">" + body +
         "</QuadViewResponse>\n";
}

std::string sources(int count, const std::string& id = "1") {
  std::string text;
  for (int i = 0; i < count; i++) {
    text += "<QuadViewSource><Id>" + id + "</Id></QuadViewSource>";
  }
  return text;
}

// The document of an answer with this QuadViewResponse body.
std::string document(const std::string& body) { return document_of(response_for(body)); }

std::string layout_with(const std::string& sources_text) {
  return document(
      "<Success><GetQuadViewSuccess>" + sources_text + "</GetQuadViewSuccess></Success>");
}

TEST(Schema, AcceptsTheAnswersAndNothingElse) {
  const std::string general_error =
      "<Error><GeneralError><ErrorCode>500</ErrorCode>"
      "<ErrorDescription>Internal Server error.</ErrorDescription></GeneralError></Error>";
  const std::string xmlns = "xmlns=\"" QUADVIEW_NAMESPACE "\"";

  const struct {
    std::string document;
    bool valid;
  } cases[] = {
      {document_of(layout_response({1, 2, 3, 4})), true},
      // Angles outside 0 to 359 in the layout file read back as ids outside 1 to 4.
      {document_of(layout_response({0, 5, -1, 2147483647})), true},
      {document_of(success_response()), true},
      {document_of(error_response(400)), true},
      {document_of(error_response(-1)), true},
      // schemaLocation is a hint, not part of the format.
      {with_root("SchemaVersion=\"1.6.0\" " + xmlns, "<Success><GeneralSuccess/></Success>"), true},

      {layout_with(sources(5)), false},
      {layout_with(sources(3)), false},
      {layout_with(sources(3) + sources(1, "x")), false},
      {layout_with(sources(3) + sources(1, "2147483648")), false},
      {layout_with(sources(3) + "<QuadViewSource><Id>1</Id><Id>2</Id></QuadViewSource>"), false},
      {document("<Success><GeneralSuccess/></Success>" + general_error), false},
      {document(general_error + "<Success><GeneralSuccess/></Success>"), false},
      {document(""), false},
      {document("<Success/>"), false},
      {document("<Success><GeneralSuccess>done</GeneralSuccess></Success>"), false},
      {document(
           "<Success><GeneralSuccess/><GetQuadViewSuccess>" + sources(4) +
           "</GetQuadViewSuccess></Success>"),
       false},
      {document("<Error><GeneralError><ErrorDescription>Bad Request.</ErrorDescription>"
                "<ErrorCode>400</ErrorCode></GeneralError></Error>"),
       false},
      {document("<Error><GeneralError><ErrorCode>Bad</ErrorCode>"
                "<ErrorDescription>Bad Request.</ErrorDescription></GeneralError></Error>"),
       false},
      {with_root(xmlns, "<Success><GeneralSuccess/></Success>"), false},
      {with_root("SchemaVersion=\"1.6\" " + xmlns, "<Success><GeneralSuccess/></Success>"), false},
      {with_root(
           "SchemaVersion=\"1.6.0\" xmlns=\"http://example.com/quadview\"",
           "<Success><GeneralSuccess/></Success>"),
       false},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    const std::string errors = schema_errors(c.document);
    EXPECT_EQ(errors.empty(), c.valid) << errors;
  }
}

}  // namespace
}  // namespace e2e
