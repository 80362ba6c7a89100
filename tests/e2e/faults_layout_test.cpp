// SPDX-License-Identifier: MIT
// Faults of the layout file, end to end: what stands at its path instead of a usable file, one
// that is huge or out of range, a save killed half-way and a folder that cannot take the new file.

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Bytes that are no key file: every value, NUL included, from a fixed seed.
std::string garbage(size_t size) {
  std::mt19937 bytes(size);
  std::string text(size, '\0');
  for (char& c : text) {
    c = static_cast<char>(bytes() & 0xff);
  }
  return text;
}

// A layout file of exactly `size` bytes, as the program writes it (so that a write changes only
// the ceiling's angles): both mounts and an [OTHER] group with many long keys. A write keeps
// the size when the new angles have as many digits in all as the old ones.
std::string huge_layout(const std::array<int, 4>& ceiling_ids, size_t size) {
  std::string text = two_mounts_stored(ceiling_ids);
  constexpr size_t kLine = 64;
  for (int i = 0; text.size() + 2 * kLine <= size; i++) {
    const std::string key = "key" + std::to_string(i) + "=";
    text += key + std::string(kLine - key.size() - 1, 'v') + "\n";
  }
  return text + "last=" + std::string(size - text.size() - 6, 'v') + "\n";
}

// Moves the calling thread into a mount namespace of its own, in which `folder` is a small
// tmpfs, and back when it goes. The programs that the test starts from this thread see the tmpfs;
// the machine and the test's other threads never do. Needs root.
class scoped_tmpfs {
 public:
  scoped_tmpfs() = default;
  scoped_tmpfs(const scoped_tmpfs&) = delete;
  scoped_tmpfs& operator=(const scoped_tmpfs&) = delete;

  ~scoped_tmpfs() {
    if (!folder_.empty()) {
      umount2(folder_.c_str(), MNT_DETACH);
    }
    if (unshared_) {
      EXPECT_EQ(setns(old_namespace_, CLONE_NEWNS), 0) << strerror(errno);
    }
    if (old_namespace_ >= 0) {
      close(old_namespace_);
    }
  }

  // Returns "" when mounted, otherwise why not.
  std::string mount_on(const std::string& folder, const std::string& options) {
    old_namespace_ = open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (old_namespace_ < 0) {
      return std::string("cannot open the mount namespace: ") + strerror(errno);
    }
    if (unshare(CLONE_NEWNS) != 0) {
      return std::string("cannot have a mount namespace: ") + strerror(errno);
    }
    unshared_ = true;
    // Nothing mounted here may reach the machine's own mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("cannot make the mounts private: ") + strerror(errno);
    }
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return std::string("cannot mount a tmpfs: ") + strerror(errno);
    }
    folder_ = folder;
    return "";
  }

 private:
  int old_namespace_ = -1;
  bool unshared_ = false;
  std::string folder_;
};

using FaultTest = QuadviewTest;

// A save killed half-way (an out-of-memory kill at its flush) leaves nothing for long: nothing at
// all where the file system makes the new file without a name, otherwise a file whose name says
// what it is. A save removes such files, and no other name, once no other save runs: each holds
// the folder's lock shared until its file is in place (as the test does here), so a running
// save's file stays, however old a clock stepped forward makes it look.
TEST_F(FaultTest, LeavesNothingBehindAKilledSave) {
  if (!why_no_environment_from_files().empty()) {
    GTEST_SKIP() << why_no_environment_from_files();
  }
  start_services({"--mount", "ceiling"});
  const std::vector<std::string> others = {
      kLayoutName + ".backup", kLayoutName + ".orig", kLayoutName + ".unsaved-old"};
  for (const std::string fail : {"kill-on-flush", "no-tmpfile,kill-on-flush"}) {
    SCOPED_TRACE(fail);
    fs::remove_all(layout_dir());
    fs::create_directories(layout_dir());
    write_layout(kTwoMounts);
    for (const std::string& name : others) {
      std::ofstream(layout_dir() + "/" + name) << kTwoMounts;
    }
    run_options options;
    options.fail = fail;
    set("id=2,3,4,1", options);
    EXPECT_EQ(read_layout(), kTwoMounts);
    std::ofstream(layout_path() + ".unsaved-Other1") << "another save's\n";
    const std::vector<std::string> left = layout_folder();
    EXPECT_EQ(left.size(), fail == "kill-on-flush" ? 5u : 6u);
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const std::string& name : left) {
      fs::last_write_time(layout_dir() + "/" + name, old);
    }

    std::vector<std::string> swept = {kLayoutName};
    swept.insert(swept.end(), others.begin(), others.end());
    for (const bool another_save_runs : {true, false}) {
      const int folder = open(layout_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_EQ(flock(folder, another_save_runs ? LOCK_SH : LOCK_UN), 0) << strerror(errno);
      const cgi_result result = set("id=2,3,4,1");
      close(folder);
      expect_response(result, success_response());
      expect_log(result, {});
      EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
      EXPECT_EQ(layout_folder(), another_save_runs ? left : swept);
    }
  }
}

// Without /proc (a chroot), the new file is named through its descriptor, and where the kernel
// refuses that too (before 6.10, to the unprivileged), it is made with a name from the start:
// either way the layout is saved and nothing is left beside it.
TEST_F(FaultTest, SavesWithoutProc) {
  if (has_launcher() || kAddressSanitizer) {
    GTEST_SKIP() << "an emulator, valgrind and AddressSanitizer's run-time all need /proc";
  }
  start_services({"--mount", "ceiling"});
  // The second cannot make a named file: it shows the first way taken.
  for (const char* fail : {"old-kernel-link", "no-named-file"}) {
    SCOPED_TRACE(fail);
    write_layout(kTwoMounts);
    run_options options;
    options.no_proc = true;
    options.fail = fail;
    const cgi_result result = set("id=2,3,4,1", options);
    expect_response(result, success_response());
    expect_log(result, {});
    EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
    EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
  }
}

// In the ReadTest suite, which runs under valgrind too: these are the read's error paths.
using ReadTest = QuadviewTest;

// What stands at the layout path instead of a usable layout file, if anything. Nothing may hang
// the request (a FIFO without a writer would, if opened to block), nor take more memory than a
// layout does (a file of 8 GiB would, if read): every such request fails at once with 500, and a
// write creates no file.
TEST_F(ReadTest, FailsOnALayoutFileItCannotUse) {
  enum class kind { kMissing, kFile, kSparse, kFolder, kFifo, kLinkLoop };

  struct test_case {
    const char* name;
    kind what;
    std::vector<std::string> failure;  // the first syslog lines
    std::string file = "";             // the contents of a file
  };

  const std::string kOutOfRange =
      "get_quadview_layout({LINE}) Error code=5, message=Key file contains key "
      "\u201csubview{LINE}_pan\u201d in group \u201cQUADVIEW_CEILING\u201d which has a value "
      "that cannot be interpreted.\n";
  const std::string kNoCeiling =
      "get_quadview_layout({LINE}) Error code=4, message=Key file does not have group "
      "\u201cQUADVIEW_CEILING\u201d\n";
  const std::vector<std::string> too_large = {kLoadFailed, load_cause("read", "File too large")};
  const std::vector<std::string> no_group_first = {
      kLoadFailed, "get_quadview_layout: Key file does not start with a group"};
  const auto ceiling = [](const char* angles) { return pan_group("QUADVIEW_CEILING", angles); };
  const test_case cases[] = {
      {"none", kind::kMissing, {kLoadFailed, load_cause("open", "No such file or directory")}},
      {"a folder", kind::kFolder, {kLoadFailed, load_cause("read", "Is a directory")}},
      {"a FIFO", kind::kFifo, {kLoadFailed, load_cause("read", "Invalid argument")}},
      {"a link that leads to itself",
       kind::kLinkLoop,
       {kLoadFailed, load_cause("open", "Too many levels of symbolic links")}},
      {"a sparse file of 8 GiB", kind::kSparse, too_large},
      {"a mebibyte and a byte", kind::kFile, too_large, huge_layout({4, 1, 2, 3}, (1 << 20) + 1)},
      {"empty", kind::kFile, {kNoCeiling}, ""},
      {"no group of the mount", kind::kFile, {kNoCeiling}, pan_group("QUADVIEW_DESK", "0,0,0,0")},
      {"a key missing",
       kind::kFile,
       {"get_quadview_layout({LINE}) Error code=3, message=Key file does not have key "
        "\u201csubview3_pan\u201d in group \u201cQUADVIEW_CEILING\u201d\n"},
       ceiling("0,0,0")},
      {"a key holding text", kind::kFile, {kOutOfRange}, ceiling("0,abc,0,0")},
      {"not a key file", kind::kFile, no_group_first, "subview0_pan=0\n"},
      {"garbage", kind::kFile, no_group_first, garbage(4096)},
      // GLib quotes the line, escaped like every outside value in the log.
      {"valid, then garbage",
       kind::kFile,
       {kLoadFailed, "get_quadview_layout: Key file contains line \u201c{ANY}"},
       kTwoMounts + garbage(256)},
      // Angles that do not fit in 32 bits are not numbers to the program, on any processor.
      {"2^31", kind::kFile, {kOutOfRange}, ceiling("0,2147483648,0,0")},
      {"-2^31 - 1", kind::kFile, {kOutOfRange}, ceiling("0,0,-2147483649,0")},
      {"2^32", kind::kFile, {kOutOfRange}, ceiling("4294967296,0,0,0")},
      {"2^32 + 90", kind::kFile, {kOutOfRange}, ceiling("0,0,0,4294967386")},
      {"20 digits", kind::kFile, {kOutOfRange}, ceiling("0,99999999999999999999,0,0")},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(layout_path());
    switch (c.what) {
      case kind::kMissing:
        break;
      case kind::kFile:
        write_layout(c.file);
        break;
      case kind::kSparse:
        write_layout("");
        fs::resize_file(layout_path(), uintmax_t{8} << 30);
        break;
      case kind::kFolder:
        fs::create_directory(layout_path());
        std::ofstream(layout_path() + "/inside") << "kept\n";
        break;
      case kind::kFifo:
        ASSERT_EQ(mkfifo(layout_path().c_str(), 0644), 0) << strerror(errno);
        break;
      case kind::kLinkLoop:
        fs::create_symlink(kLayoutName, layout_path());
        break;
    }
    const fs::file_status before = fs::symlink_status(layout_path());

    // The read fails, and so does the write, at the read that comes first.
    for (const char* script : {"/cgi-bin/getquadview.cgi", "/cgi-bin/setquadview.cgi"}) {
      SCOPED_TRACE(script);
      forget_calls();
      const cgi_result result = run(script, "id=2,3,4,1");
      expect_response(result, error_response(500));
      std::vector<expected_log> log;
      for (const std::string& line : c.failure) {
        log.push_back({LOG_ERR, line});
      }
      log.insert(log.end(), {{LOG_ERR, kLayoutNotRead}, {LOG_ERR, kGetFailed}});
      expect_log(result, log);
      EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery}));
    }

    const fs::file_status after = fs::symlink_status(layout_path());
    EXPECT_EQ(after.type(), before.type());
    EXPECT_EQ(after.permissions(), before.permissions());
    if (c.what == kind::kFile) {
      EXPECT_EQ(read_layout(), c.file);
    }
    EXPECT_EQ(
        layout_folder(), std::vector<std::string>(c.what == kind::kMissing ? 0 : 1, kLayoutName));
  }
}

// The largest layout file the program reads, read and written back whole.
TEST_F(FaultTest, ReadsAndRewritesALayoutFileOfAMebibyte) {
  const std::string before = huge_layout({4, 1, 2, 3}, 1 << 20);
  ASSERT_EQ(before.size(), size_t{1} << 20);
  write_layout(before);
  start_services({"--mount", "ceiling"});

  expect_response(get(), layout_response({4, 1, 2, 3}));
  const cgi_result result = set("id=3,3,1,2");
  expect_response(result, success_response());
  expect_log(result, {});
  // Every other line is kept as it was.
  EXPECT_TRUE(read_layout() == huge_layout({3, 3, 1, 2}, 1 << 20));
  expect_response(get(), layout_response({3, 3, 1, 2}));
  EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
}

TEST_F(FaultTest, KeepsTheOldFileWhenTheFilesystemIsFull) {
  scoped_tmpfs tmpfs;
  const std::string why = tmpfs.mount_on(layout_dir(), "size=64k,mode=0755");
  if (!why.empty()) {
    GTEST_SKIP() << "no small filesystem for the layout folder: " << why;
  }
  write_layout(kTwoMounts);
  {
    // Fills the filesystem to the last block.
    const std::string filler(4096, 'f');
    std::ofstream out(layout_dir() + "/filler", std::ios::binary);
    while (out.write(filler.data(), filler.size()) && out.flush()) {
    }
  }
  start_services({"--mount", "ceiling"});

  forget_calls();
  const cgi_result result = set("id=2,3,4,1");
  expect_response(result, error_response(500));
  expect_log(
      result,
      {{LOG_ERR,
        "set_quadview_layout({LINE}) Error code=12, message=Failed to write file "
        "\u201c" QUADVIEW_LAYOUT_PATH ".{ANY}\u201d: {ANY}No space left on device\n"},
       {LOG_ERR, kLayoutNotSet},
       {LOG_ERR, kSetFailed}});
  EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery, kTiltQuery}));
  // The old file is whole and still serves; the temporary copy is gone.
  EXPECT_EQ(read_layout(), kTwoMounts);
  EXPECT_EQ(layout_folder(), std::vector<std::string>({"filler", kLayoutName}));
  expect_response(get(), layout_response({4, 1, 2, 3}));

  // With room again, the same request succeeds.
  fs::remove(layout_dir() + "/filler");
  expect_response(set("id=2,3,4,1"), success_response());
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
}

}  // namespace
}  // namespace e2e
