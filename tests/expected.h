// SPDX-License-Identifier: MIT
// What the program answers, logs and stores, built once for the unit and the end-to-end tests.
#pragma once

#include <syslog.h>

#include <array>
#include <string>
#include <vector>

#include "device/camera_services.h"

namespace expected {

// Where the program keeps the layout file (CMake's QUADVIEW_LAYOUT_PATH).
constexpr char kLayoutPath[] = QUADVIEW_LAYOUT_PATH;

// The calls the simulator records most often.
constexpr char kTiltQuery[] =
    "ImageControl Get " QUADVIEW_IMAGE_CONTROL_INTERFACE " " QUADVIEW_TILT_PROPERTY;
constexpr char kReload[] = "PTZ " QUADVIEW_PTZ_METHOD " Onvif 0 " QUADVIEW_RELOAD_COMMAND;

// What the bus answers a call of a service that is not there.
std::string service_unknown(const char* name);

// A layout file for both mounts: ids 4,1,2,3 on the ceiling and 2,3,4,1 on the desk.
constexpr char kTwoMounts[] =
    "# quad-view layouts, one per mount\n"
    "[QUADVIEW_CEILING]\n"
    "# pan angles of the four subviews\n"
    "subview0_pan=270\n"
    "subview1_pan=0\n"
    "subview2_pan=90\n"
    "subview3_pan=180\n"
    "zoom=2\n"
    "\n"
    "[QUADVIEW_DESK]\n"
    "subview0_pan=90\n"
    "subview1_pan=180\n"
    "subview2_pan=270\n"
    "subview3_pan=0\n"
    "\n"
    "[OTHER]\n"
    "name=kept\n";

// The layout file's group of each mount, the ceiling's first, and the key of a subview's pan angle.
constexpr const char* kMountGroups[] = {"QUADVIEW_CEILING", "QUADVIEW_DESK"};
std::string pan_key(int subview);

// A group of a layout file with the pan angles in the comma-separated `angles`, in order:
// pan_group("QUADVIEW_CEILING", "0,90") is "[QUADVIEW_CEILING]\nsubview0_pan=0\nsubview1_pan=90\n".
std::string pan_group(const std::string& mount, const std::string& angles);

// kTwoMounts as the program stores it after writing these ids: comments and blank lines are not
// kept, everything else is.
std::string two_mounts_stored(
    const std::array<int, 4>& ceiling_ids, const std::array<int, 4>& desk_ids = {2, 3, 4, 1});

// An expected syslog line: the priority and the whole message, in which "{LINE}" stands for a
// line number and "{ANY}" for any text; everything else is literal.
struct expected_log {
  int priority;
  std::string pattern;
};

constexpr char kGetFailed[] = "Failed to get config of quadview due to 'Permission denied'";
constexpr char kSetFailed[] = "Failed to set config of quadview due to 'Permission denied'";
constexpr char kNoOrientation[] = "Failed to get CameraTiltOrientation";
constexpr char kLayoutNotRead[] = "Failed to get quadview layout";
constexpr char kLayoutNotSet[] = "Failed to set quadview layout";
constexpr char kLoadFailed[] = "get_quadview_layout: Failed to load '" QUADVIEW_LAYOUT_PATH "'";

// The line that says why asking for the mount failed, and why the reload did.
std::string tilt_failure(const std::string& cause);
std::string reload_failure(const std::string& cause);

// The simulated services' failure, as the program logs it.
constexpr char kSimulatedFailure[] =
    "GDBus.Error:org.freedesktop.DBus.Error.Failed: simulated\\012failure";

// How the program logs that it has no bus connection, before the cause.
constexpr char kNotConnected[] = "Failed to connect to the system bus: ";

// The lines of a request for a mount the program does not know (`text`), and of one that could
// not ask for it (`cause`; kNotConnected and a cause, too, adds the line of the failed exchange),
// each ending with `last`.
std::vector<expected_log> unsupported_mount(const std::string& text, const char* last = kGetFailed);
std::vector<expected_log> mount_not_asked(const std::string& cause, const char* last = kGetFailed);

// The line after kLoadFailed when the file cannot be read: GLib's words for the failed `action`.
std::string load_cause(const char* action, const char* reason);

// The lines of a request without SCRIPT_NAME.
inline const std::vector<expected_log> kNoScriptName = {
    {LOG_ERR, "Empty SCRIPT_NAME"}, {LOG_INFO, "Failed to convert CGI request to g_hash_table"}};

// The namespace of the answers' documents.
#define QUADVIEW_NAMESPACE "http://www.tarq.com/sefra/http_cgi/quadview"

// The answer to HEAD: the headers alone.
std::string head_response();

// The answer for a QuadViewResponse body ("<Success>...</Success>" or "<Error>...</Error>"):
// headers, declaration, document and the final newline.
std::string response_for(const std::string& body);

// The document part of an answer, without the CGI headers.
std::string document_of(const std::string& answer);

// The read request's answer for the given source ids.
std::string layout_response(const std::array<int, 4>& ids);

// The write request's answer.
std::string success_response();

// The error answer for an error code: 500, 400, 20 or -1.
std::string error_response(int code);

}  // namespace expected
