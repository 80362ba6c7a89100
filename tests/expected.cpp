// SPDX-License-Identifier: MIT
#include "expected.h"

#include <algorithm>

namespace expected {

std::string pan_key(int subview) { return "subview" + std::to_string(subview) + "_pan"; }

std::string pan_group(const std::string& mount, const std::string& angles) {
  std::string text = "[" + mount + "]\n";
  size_t start = 0;
  for (int i = 0; start <= angles.size(); i++) {
    const size_t end = std::min(angles.find(',', start), angles.size());
    text += pan_key(i) + "=" + angles.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return text;
}

std::string two_mounts_stored(
    const std::array<int, 4>& ceiling_ids, const std::array<int, 4>& desk_ids) {
  const auto angles = [](const std::array<int, 4>& ids) {
    std::string text;
    for (const int id : ids) {
      text += (text.empty() ? "" : ",") + std::to_string((id - 1) * 90);
    }
    return text;
  };
  return pan_group(kMountGroups[0], angles(ceiling_ids)) + "zoom=2\n\n" +
         pan_group(kMountGroups[1], angles(desk_ids)) + "\n[OTHER]\nname=kept\n";
}

std::string service_unknown(const char* name) {
  return std::string("GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name ") + name +
         " was not provided by any .service files";
}

std::string tilt_failure(const std::string& cause) {
  return "get_cameratiltorientation({LINE}) Failed to get CameraTiltOrientation due to '" + cause +
         "'";
}

std::string reload_failure(const std::string& cause) {
  return "ptz_aux_send_command({LINE}) Failed to send auxiliary command to PTZ service: " + cause +
         "\n";
}

std::vector<expected_log> unsupported_mount(const std::string& text, const char* last) {
  return {{LOG_ERR, "Unsupported CameraTiltOrientation (" + text + ")"}, {LOG_ERR, last}};
}

std::vector<expected_log> mount_not_asked(const std::string& cause, const char* last) {
  std::vector<expected_log> log = {{LOG_ERR, cause}, {LOG_ERR, kNoOrientation}, {LOG_ERR, last}};
  if (cause.rfind(kNotConnected, 0) == 0) {
    log.insert(log.begin() + 1, {LOG_ERR, "get_cameratiltorientation({LINE}) Error\n"});
  }
  return log;
}

std::string load_cause(const char* action, const char* reason) {
  return std::string("get_quadview_layout: Failed to ") + action + " file \u201c" + kLayoutPath +
         "\u201d: " + reason;
}

std::string head_response() { return "Status: 200 OK\r\nContent-Type: text/xml\r\n\r\n"; }

std::string response_for(const std::string& body) {
  return head_response() +
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<QuadViewResponse SchemaVersion=\"1.6.0\" "
         "xmlns=\"" QUADVIEW_NAMESPACE
         "\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xsi:schemaLocation=\"" QUADVIEW_NAMESPACE " " QUADVIEW_NAMESPACE "\">" +
         body + "</QuadViewResponse>\n";
}

std::string document_of(const std::string& answer) {
  return answer.substr(answer.find("\r\n\r\n") + 4);
}

std::string layout_response(const std::array<int, 4>& ids) {
  std::string sources;
  for (const int id : ids) {
    sources += "<QuadViewSource><Id>" + std::to_string(id) + "</Id></QuadViewSource>";
  }
  return response_for(
      "<Success><GetQuadViewSuccess>" + sources + "</GetQuadViewSuccess></Success>");
}

std::string success_response() { return response_for("<Success><GeneralSuccess/></Success>"); }

std::string error_response(int code) {
  const char* description = code == 500   ? "Internal Server error."
                            : code == 400 ? "Bad Request."
                            : code == 20  ? "Invalid Parameters."
                                          : "Unknown Error";
  return response_for(
      "<Error><GeneralError><ErrorCode>" + std::to_string(code) + "</ErrorCode><ErrorDescription>" +
      description + "</ErrorDescription></GeneralError></Error>");
}

}  // namespace expected
