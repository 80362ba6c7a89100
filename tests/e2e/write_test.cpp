// SPDX-License-Identifier: MIT
// setquadview.cgi end to end: the id list, the mount asked twice, the saved file and the reload.

#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// kTwoMounts after id=3,1,4,2 on the desk.
const std::string kDeskStored = two_mounts_stored({4, 1, 2, 3}, {3, 1, 4, 2});

const std::vector<std::string> kReadWriteReload = {kTiltQuery, kTiltQuery, kReload};

constexpr char kAcl[] = "system.posix_acl_access";
constexpr char kUserAttribute[] = "user.quadview";

// The ACL "u::rw,u:1234:r,g::r,m::r,o::-" as the kernel keeps it (little-endian): a file of mode
// 0640 that uid 1234 may read too. Its mask is the group bits.
const std::string kAcl1234(
    "\2\0\0\0"
    "\1\0\6\0\xff\xff\xff\xff\2\0\4\0\xd2\4\0\0\4\0\4\0\xff\xff\xff\xff"
    "\x10\0\4\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff",
    44);

// The extended attribute `name` of the file at `path`, or nullopt when it has none.
std::optional<std::string> attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
  return size < 0 ? std::nullopt : std::optional<std::string>(std::string(value, size));
}

// Sets the ACL kAcl1234 as the attribute `name` (an access or a folder's default ACL) of `path`.
bool set_acl(const std::string& path, const char* name) {
  return setxattr(path.c_str(), name, kAcl1234.data(), kAcl1234.size(), 0) == 0;
}

// Gives the file at `path` an ACL that uid 1234 may read it by and a user.* attribute. Returns ""
// when set, otherwise why not.
std::string set_attributes(const std::string& path) {
  if (!set_acl(path, kAcl) || setxattr(path.c_str(), kUserAttribute, "kept", 4, 0) != 0) {
    return std::string("the layout folder's file system takes no ACL or user.* attribute: ") +
           strerror(errno);
  }
  return "";
}

using WriteTest = QuadviewTest;

TEST_F(WriteTest, StoresTheLayoutOfTheCurrentMountAndReadsItBack) {
  struct test_case {
    std::vector<std::string> services;
    std::string query;
    std::string stored;
    std::array<int, 4> ids;
  };

  const test_case cases[] = {
      {{"--mount", "ceiling"}, "id=2,3,4,1", two_mounts_stored({2, 3, 4, 1}), {2, 3, 4, 1}},
      {{"--mount", "desk"}, "id=3,1,4,2", kDeskStored, {3, 1, 4, 2}},
      {{"--tilt", "ay:90"}, "id=3,1,4,2", kDeskStored, {3, 1, 4, 2}},
      // The mount is asked again before writing, and the answer then counts.
      {{"--tilt", "s:-90", "--tilt-then", "s:90"}, "id=3,1,4,2", kDeskStored, {3, 1, 4, 2}},
      // Two seconds per answer is slow, but well within an exchange's limit (kExchangeLimitUs).
      {{"--mount", "ceiling", "--delay-ms", "2000"},
       "id=2,3,4,1",
       two_mounts_stored({2, 3, 4, 1}),
       {2, 3, 4, 1}},
  };
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.services));
    write_layout(kTwoMounts);
    start_services(c.services);
    forget_calls();
    const cgi_result result = set(c.query);
    expect_response(result, success_response());
    expect_log(result, {});
    EXPECT_EQ(read_layout(), c.stored);
    EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
    EXPECT_EQ(recorded_calls(), kReadWriteReload);

    const cgi_result read_back = get();
    expect_response(read_back, layout_response(c.ids));
  }
}

TEST_F(WriteTest, AcceptsEveryListOfFourIdsFrom1To4) {
  struct test_case {
    std::string query;
    std::string pans;
  };

  const test_case cases[] = {
      {"id=1,1,1,1", "0,0,0,0"},
      {"id=4,3,2,1", "270,180,90,0"},
      // The query is decoded before it is split.
      {"id=1%2C2%2C3%2C4", "0,90,180,270"},
      {"id=5,5,5,5&id=4,4,4,4", "270,270,270,270"},
      {"x=1%26id=2,2,3,3", "90,90,180,180"},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.query);
    write_layout(pan_group("QUADVIEW_CEILING", "0,0,0,0"));
    const cgi_result result = set(c.query);
    expect_response(result, success_response());
    EXPECT_EQ(read_layout(), pan_group("QUADVIEW_CEILING", c.pans));
  }
}

TEST_F(WriteTest, RejectsMalformedIdListsBeforeAskingAnything) {
  struct test_case {
    std::optional<std::string> query;
    std::string message;
  };

  const test_case cases[] = {
      {"id=1,2,3", "Invalid id parameters (1,2,3)"},
      {"id=1,2,3,4,1", "Invalid id parameters (1,2,3,4,1)"},
      {"id=1,2,3,4,", "Invalid id parameters (1,2,3,4,)"},
      {"id=0,1,2,3", "Invalid id parameters (0,1,2,3)"},
      {"id=5,1,2,3", "Invalid id parameters (5,1,2,3)"},
      {"id=01,2,3,4", "Invalid id parameters (01,2,3,4)"},
      {"id=%201,2,3,4", "Invalid id parameters ( 1,2,3,4)"},
      {"id=1,2,3,4%20", "Invalid id parameters (1,2,3,4 )"},
      {"id=a,2,3,4", "Invalid id parameters (a,2,3,4)"},
      {"id=1,,3,4", "Invalid id parameters (1,,3,4)"},
      {"id=1;2;3;4", "Invalid id parameters (1;2;3;4)"},
      {"id=", "Invalid id parameters ()"},
      {"id", "Invalid id parameters ()"},
      {"id=1,2,3,4&id=1,2,3", "Invalid id parameters (1,2,3)"},
      {"ids=1,2,3,4", "No id parameters"},
      {"=1,2,3,4", "No id parameters"},
      {"", "No id parameters"},
      {std::nullopt, "No id parameters"},
      // A malformed escape makes the whole query unreadable.
      {"id=1,2,3,4&x=%zz", "No id parameters"},
  };
  start_services({"--mount", "ceiling"});
  write_layout(kTwoMounts);
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.query));
    const cgi_result result = set(c.query);
    expect_response(result, error_response(400));
    expect_log(result, {{LOG_INFO, c.message}});
    EXPECT_EQ(read_layout(), kTwoMounts);
  }
  EXPECT_EQ(recorded_calls(), std::vector<std::string>());
}

TEST_F(WriteTest, LeavesTheFileAloneWhenTheMountIsUnknown) {
  struct test_case {
    std::vector<std::string> services;
    int tilt_queries;
    std::string response;
    std::vector<expected_log> log;
  };

  const test_case cases[] = {
      // The first answer fails the read that comes before the write.
      {{"--tilt", "s:0"}, 1, error_response(500), unsupported_mount("0")},
      // The service's text is logged escaped: it cannot forge a log line.
      {{"--tilt", "s:-90\nJan  1 00:00:00 camera forged: line"},
       1,
       error_response(500),
       unsupported_mount("-90\\012Jan  1 00:00:00 camera forged: line")},
      {{"--no-image-control"},
       0,
       error_response(500),
       mount_not_asked(
           tilt_failure("GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: {ANY}"))},
      // A mount that turns unsupported between the two questions is the client's problem...
      {{"--tilt", "s:-90", "--tilt-then", "s:0"},
       2,
       error_response(400),
       unsupported_mount("0", "Failed to set config of quadview due to 'Bad file descriptor'")},
      // ...one that cannot be had the second time is the server's.
      {{"--tilt", "s:-90", "--tilt-then", "error"},
       2,
       error_response(500),
       mount_not_asked(tilt_failure(kSimulatedFailure), kSetFailed)},
  };
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.services));
    write_layout(kTwoMounts);
    start_services(c.services);
    forget_calls();
    const cgi_result result = set("id=2,3,4,1");
    expect_response(result, c.response);
    expect_log(result, c.log);
    EXPECT_EQ(read_layout(), kTwoMounts);
    EXPECT_EQ(recorded_calls(), std::vector<std::string>(c.tilt_queries, kTiltQuery));
  }
}

// Once the new file is in place, the layout is the camera's: the reload is sent even when the
// folder's flush failed, and a failure of either answers 500.
TEST_F(WriteTest, KeepsTheNewLayoutWhenTheReloadFails) {
  struct test_case {
    std::string ptz;
    std::string fail;  // run_options::fail
    std::vector<std::string> calls;
    std::string failure;
  };

  const test_case cases[] = {
      {"error", "", kReadWriteReload, reload_failure(kSimulatedFailure)},
      {"absent", "", {kTiltQuery, kTiltQuery}, reload_failure(service_unknown(QUADVIEW_PTZ_NAME))},
      {"accept",
       "folder-flush",
       kReadWriteReload,
       "set_quadview_layout({LINE}) Error code=21, message=Failed to flush folder "
       "\u201c" +
           kLayoutFolder + "\u201d: Input/output error\n"},
  };
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.ptz + " " + c.fail);
    if (!c.fail.empty() && !why_no_environment_from_files().empty()) {
      continue;  // no helper to fail the call with
    }
    write_layout(kTwoMounts);
    start_services({"--mount", "ceiling", "--ptz", c.ptz});
    forget_calls();
    run_options options;
    options.fail = c.fail;
    const cgi_result result = set("id=2,3,4,1", options);
    expect_response(result, error_response(500));
    std::vector<expected_log> log = {{LOG_ERR, c.failure}};
    if (c.fail.empty()) {
      log.push_back({LOG_ERR, "set_quadview_layout: Failed to set command to ptz"});
    }
    log.insert(log.end(), {{LOG_ERR, kLayoutNotSet}, {LOG_ERR, kSetFailed}});
    expect_log(result, log);
    EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
    EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
    EXPECT_EQ(recorded_calls(), c.calls);
  }
}

// The firmware sets the layout file up: where it lies (behind links, say, from a read-only /etc
// into a writable partition), who owns it and who may read it. A write changes its contents and
// nothing else, whatever the web server's umask.
TEST_F(WriteTest, KeepsTheFileAsTheFirmwareSetItUp) {
  struct link {
    std::string path;
    std::string target;  // as the link holds it
  };

  struct test_case {
    std::string name;
    std::string file;  // the layout file itself
    mode_t mode;
    std::optional<std::pair<uid_t, gid_t>> owner;  // only root may give a file away
    std::vector<link> links = {};
    bool attributes = false;  // an ACL and a user.* attribute (set_attributes)
    bool folder_acl = false;  // the folder's default ACL, which the file itself does not have
  };

  const std::string persist = temp_path("persist");
  const test_case cases[] = {
      {"0640", layout_path(), 0640, std::nullopt},
      {"0600", layout_path(), 0600, std::nullopt},
      {"0664", layout_path(), 0664, std::nullopt},
      {"owned by 4321:4242", layout_path(), 0640, std::make_pair(4321, 4242)},
      {"an absolute link into another folder",
       persist + "/" + kLayoutName,
       0640,
       std::nullopt,
       {{layout_path(), persist + "/" + kLayoutName}}},
      {"a chain of relative links inside the layout folder",
       layout_dir() + "/data/layout.conf",
       0604,
       std::nullopt,
       {{layout_path(), "current.conf"}, {layout_dir() + "/current.conf", "data/layout.conf"}}},
      // Its mask is the group bits; without it uid 1234 would lose read.
      {"an ACL and a user.* attribute", layout_path(), 0640, std::nullopt, {}, true},
      // A new file takes the folder's default ACL, which would let uid 1234 read it.
      {"a folder with a default ACL", layout_path(), 0640, std::nullopt, {}, false, true},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner && getuid() != 0) {
      continue;  // not root: the row cannot be set up
    }
    fs::remove_all(layout_dir());
    fs::remove_all(persist);
    fs::create_directories(fs::path(c.file).parent_path());
    fs::create_directories(layout_dir());
    std::ofstream(c.file) << kTwoMounts;
    ASSERT_EQ(chmod(c.file.c_str(), c.mode), 0);
    if (c.owner) {
      ASSERT_EQ(chown(c.file.c_str(), c.owner->first, c.owner->second), 0);
    }
    for (const link& l : c.links) {
      fs::create_symlink(l.target, l.path);
    }
    if (c.folder_acl && !set_acl(layout_dir(), "system.posix_acl_default")) {
      std::cerr << "skipped: no default ACL: " << strerror(errno) << "\n";
      continue;
    }
    if (const std::string why = c.attributes ? set_attributes(c.file) : ""; !why.empty()) {
      std::cerr << "skipped: " << why << "\n";
      continue;
    }
    struct stat before;
    ASSERT_EQ(stat(c.file.c_str(), &before), 0);
    const std::vector<std::string> folder_before = folder_names(fs::path(c.file).parent_path());

    run_options umask_0;
    umask_0.umask = 0;
    const cgi_result result = set("id=2,3,4,1", umask_0);
    expect_response(result, success_response());
    expect_log(result, {});

    EXPECT_EQ(read_file(c.file), two_mounts_stored({2, 3, 4, 1}));
    struct stat after;
    ASSERT_EQ(stat(c.file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced as a whole";
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    if (c.attributes) {
      EXPECT_EQ(attribute(c.file, kAcl), kAcl1234);
      EXPECT_EQ(attribute(c.file, kUserAttribute), "kept");
    } else {
      EXPECT_EQ(attribute(c.file, kAcl), std::nullopt);
    }
    for (const link& l : c.links) {
      std::error_code not_a_link;
      EXPECT_EQ(fs::read_symlink(l.path, not_a_link), l.target) << l.path << " is a link no more";
    }
    EXPECT_EQ(folder_names(fs::path(c.file).parent_path()), folder_before);
    expect_response(get(), layout_response({2, 3, 4, 1}));
  }
}

TEST_F(WriteTest, LeavesTheFileAloneWhenSavingFails) {
  struct test_case {
    std::string name;
    run_options options;
    std::vector<std::string> links;  // the link at the layout path, if any
    std::string failure;             // the first syslog line
  };

  const std::string persist = temp_path("persist");
  run_options read_only_layout;
  read_only_layout.read_only_layout = true;
  run_options read_only_persist;
  read_only_persist.read_only_folder = persist;
  const auto failing = [](const char* calls) {
    run_options options;
    options.fail = calls;
    return options;
  };
  // The first syslog line: what failed on the temporary file whose name starts with `temp`, and
  // why.
  const auto failure = [](const char* what, const char* why, const std::string& temp = "") {
    return "set_quadview_layout({LINE}) Error code=" + std::string(what) + " \u201c" +
           (temp.empty() ? kLayoutPath + std::string(".") : temp) + "{ANY}\u201d: " + why + "\n";
  };
  constexpr char kNoRoom[] = "12, message=Failed to set the extended attributes of file";
  const test_case cases[] = {
      {"a read-only layout folder",
       read_only_layout,
       {},
       failure("8, message=Failed to create file", "Read-only file system")},
      // The temporary file goes beside the file the link leads to, not beside the link.
      {"a link into a read-only folder",
       read_only_persist,
       {persist + "/" + kLayoutName},
       failure(
           "8, message=Failed to create file",
           "Read-only file system",
           persist + "/" + kLayoutName + ".")},
      // Without its ACL the new file would let the group write and uid 1234 no longer read.
      {"an ACL that cannot be carried",
       failing("acl"),
       {},
       failure(
           "22, message=Failed to set the access control list of file", "Operation not permitted")},
      // Any attribute is left out only when the writer may not set it, not when it fails.
      {"a user.* attribute without room",
       failing("attribute"),
       {},
       failure(kNoRoom, "No space left on device")},
      // A file made with its name goes with the failure.
      {"a user.* attribute without room, no nameless files",
       failing("no-tmpfile,attribute"),
       {},
       failure(kNoRoom, "No space left on device", kLayoutPath + std::string(".unsaved-"))},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.options.fail.empty() && !why_no_environment_from_files().empty()) {
      continue;  // no helper to fail the call with
    }
    fs::remove_all(layout_dir());
    fs::remove_all(persist);
    fs::create_directories(layout_dir());
    fs::create_directories(persist);
    if (c.links.empty()) {
      write_layout(kTwoMounts);
    } else {
      std::ofstream(c.links[0]) << kTwoMounts;
      fs::create_symlink(c.links[0], layout_path());
    }
    if (const std::string why = c.options.fail.empty() ? "" : set_attributes(layout_path());
        !why.empty()) {
      std::cerr << "skipped: " << why << "\n";
      continue;
    }
    forget_calls();
    const cgi_result result = set("id=2,3,4,1", c.options);
    expect_response(result, error_response(500));
    expect_log(result, {{LOG_ERR, c.failure}, {LOG_ERR, kLayoutNotSet}, {LOG_ERR, kSetFailed}});
    EXPECT_EQ(read_layout(), kTwoMounts);
    EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
    EXPECT_EQ(folder_names(persist), std::vector<std::string>(c.links.size(), kLayoutName));
    EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery, kTiltQuery}));
  }
}

// Every run checks that the program exits with 0 and writes nothing to stderr, under
// G_DEBUG=fatal-warnings, which turns a GLib warning or critical into a crash. This walks the odd
// answers the services can give through both requests in one go.
TEST_F(WriteTest, NoPathRaisesAGLibCritical) {
  const std::vector<std::vector<std::string>> setups = {
      {"--tilt", "ay-nonul:-90"},
      {"--tilt", "i:-90"},
      {"--tilt", "wrong-type"},
      {"--tilt", "error", "--ptz", "error"},
      {"--tilt", "s:-90", "--tilt-then", "wrong-type"},
      {"--tilt", "s:-90", "--tilt-then", "i:1"},
      {"--tilt", "ay:-90", "--tilt-then", "ay-nonul:90", "--ptz", "absent"},
      {"--mount", "desk", "--ptz", "error"},
      {"--no-image-control", "--ptz", "absent"},
  };
  for (const std::vector<std::string>& services : setups) {
    SCOPED_TRACE(testing::PrintToString(services));
    write_layout(kTwoMounts);
    start_services(services);
    for (const char* script : {"/getquadview.cgi", "/setquadview.cgi"}) {
      const cgi_result result = run(script, "id=2,3,4,1");
      EXPECT_NE(result.out.find("</QuadViewResponse>\n"), std::string::npos) << result.out;
    }
  }
}

}  // namespace
}  // namespace e2e
