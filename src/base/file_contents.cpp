// SPDX-License-Identifier: MIT
#include "base/file_contents.h"

#include <errno.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Owns a file descriptor and closes it when it goes, unless it was released.
class scoped_fd {
 public:
  explicit scoped_fd(int fd) : fd_(fd) {}

  scoped_fd(const scoped_fd&) = delete;
  scoped_fd& operator=(const scoped_fd&) = delete;

  ~scoped_fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }

  int get() const { return fd_; }

  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Sets `error` to the file error of `code` (an errno value), worded as GLib words its own:
// "Failed to <action> “<path>”: <reason>". Returns false, for the caller to return.
bool fail(GError** error, int code, const char* action, const char* path) {
  g_set_error(
      error,
      G_FILE_ERROR,
      g_file_error_from_errno(code),
      "Failed to %s “%s”: %s",
      action,
      path,
      g_strerror(code));
  return false;
}

// write() until everything is written.
bool write_all(int fd, const char* data, gsize length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    data += written;
    length -= static_cast<gsize>(written);
  }
  return true;
}

// The extended attribute that holds a file's POSIX ACL.
constexpr char kAclAttribute[] = "system.posix_acl_access";

// Gives the new file `to` every extended attribute of the old file at `from`: its access control
// lists (system.*), its security labels, user.* and any other. An ACL must come across, or the
// new file would grant what the old one's ACL held back; any other attribute that this process
// may not set is left out.
bool copy_attributes(const char* from, int to, const char* path, GError** error) {
  // One inherited from the folder's default ACL would grant what the old file may not.
  if (fremovexattr(to, kAclAttribute) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return fail(error, errno, "set the access control list of file", path);
  }
  const ssize_t listed = listxattr(from, nullptr, 0);
  if (listed <= 0) {
    // None, or a file system that keeps none.
    return listed == 0 || errno == ENOTSUP || fail(error, errno, "list the attributes of", from);
  }
  g_autofree char* names = static_cast<char*>(g_malloc(listed));
  const ssize_t names_length = listxattr(from, names, listed);
  if (names_length < 0) {
    return fail(error, errno, "list the attributes of", from);
  }
  for (const char* name = names; name < names + names_length; name += strlen(name) + 1) {
    const bool acl = g_str_has_prefix(name, "system.");
    const ssize_t size = getxattr(from, name, nullptr, 0);
    g_autofree char* value = static_cast<char*>(g_malloc(MAX(size, 1)));
    const ssize_t got = size < 0 ? -1 : getxattr(from, name, value, size);
    const bool copied = got >= 0 && fsetxattr(to, name, value, got, 0 /* create or replace */) == 0;
    if (!copied && acl) {
      return fail(error, errno, "set the access control list of file", path);
    }
    // Left out only when this writer may not set it; any other failure (a full file system)
    // fails the save rather than drop it unsaid.
    if (!copied && errno != EPERM && errno != EACCES && errno != ENOTSUP && errno != ENODATA) {
      return fail(error, errno, "set the extended attributes of file", path);
    }
  }
  return true;
}

// Fills the new file `fd` with `contents`, gives it the old file's owner,
// group, extended attributes and permission bits, and flushes it: from the moment it is renamed,
// nobody may see it with other rights. Until then it is private. The contents go first, since
// writing clears the set-id bits of a file; owner and group are kept as far as we may set them;
// the mode is set last, since a change of owner clears the set-id bits too, and with an ACL the
// group bits are its mask.
bool fill_new_file(
    int fd,
    const char* old_path,
    const struct stat& old,
    const char* contents,
    gsize length,
    const char* path,
    GError** error) {
  if (!write_all(fd, contents, length)) {
    return fail(error, errno, "write file", path);
  }
  // Refused the owner, keeping the group still serves those who read the file through it.
  if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Refused that too: the new file has the writing user's group, as every file it creates.
  }
  if (!copy_attributes(old_path, fd, path, error)) {
    return false;
  }
  if (fchmod(fd, old.st_mode & 07777) != 0) {
    return fail(error, errno, "set the permissions of file", path);
  }
  if (fsync(fd) != 0) {
    return fail(error, errno, "flush file", path);
  }
  return true;
}

// What the name of a temporary file made by a save has after the replaced file's own name, before
// six random characters: "name.conf.unsaved-Ab12Cd".
constexpr char kTemporarySuffix[] = ".unsaved-";

// Removes the temporary files that killed saves left beside `target` in the folder at
// `folder_path`: regular files named as a save names them (kTemporarySuffix and six letters or
// digits), every other name left alone. Every save holds a shared lock on the folder from before
// it makes its file until that file is in place or gone, so the files are removed only while
// this one holds it alone: then no save is running, and none can start meanwhile. Otherwise the
// sweep is left to a later save. The files' times are not looked at: a clock stepped forward
// would make a running save's file look old. A file that cannot be removed stays.
void remove_stale_temporary_files(const char* folder_path, const char* target) {
  const scoped_fd folder(open(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
    return;
  }
  g_autofree char* base = g_path_get_basename(target);
  g_autofree char* prefix = g_strconcat(base, kTemporarySuffix, nullptr);
  // GDir reads the folder as GLib was built, with large file offsets, which readdir() on a 32-bit
  // processor may refuse (EOVERFLOW).
  g_autoptr(GDir) dir = g_dir_open(folder_path, 0 /* flags */, nullptr /* error */);
  for (const char* name; dir && (name = g_dir_read_name(dir));) {
    const char* rest = g_str_has_prefix(name, prefix) ? name + strlen(prefix) : "";
    bool ours = strlen(rest) == 6;
    for (const char* p = rest; ours && *p; p++) {
      ours = g_ascii_isalnum(*p);
    }
    struct stat st;
    if (ours && fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      unlinkat(folder.get(), name, 0);
    }
  }
}

// Gives the nameless file `fd` (O_TMPFILE) a temporary name in `folder`, written into the last six
// characters of `name` (which end in "XXXXXX"). Returns false with errno set.
bool link_unnamed_file(int fd, int folder, char* name) {
  g_autofree char* proc_path = g_strdup_printf("/proc/self/fd/%d", fd);
  const size_t length = strlen(name);
  for (int attempt = 0; attempt < 100; attempt++) {
    g_autofree char* letters = g_strdup_printf("%06x", g_random_int_range(0, 0x1000000));
    memcpy(name + length - 6, letters, 6);
    // Through /proc, as anyone may; without /proc, through the descriptor, which kernels before
    // 6.10 let only the privileged do.
    if (linkat(AT_FDCWD, proc_path, folder, name, AT_SYMLINK_FOLLOW) == 0 ||
        (errno == ENOENT && linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0)) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
}

// Makes the new file in `folder` with `contents` and the old file's rights (fill_new_file), named
// `temp_path`, whose last six characters ("XXXXXX") it chooses. Where the file system allows, the
// file has no name until it is complete (O_TMPFILE), so a save killed half-way leaves nothing;
// where it cannot be named then (no /proc, and a kernel that links through a descriptor for the
// privileged alone), or has no such files, it is made with its name from the start, which the
// sweep of a later save removes if this one is killed. Returns the open file, or -1 with `error`
// set and no file left.
int make_new_file(
    int folder,
    const char* folder_path,
    char* temp_path,
    const char* old_path,
    const struct stat& old,
    const char* contents,
    gsize length,
    GError** error) {
  scoped_fd unnamed(open(folder_path, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (unnamed.get() >= 0) {
    if (!fill_new_file(unnamed.get(), old_path, old, contents, length, temp_path, error)) {
      return -1;
    }
    if (link_unnamed_file(unnamed.get(), folder, strrchr(temp_path, '/') + 1)) {
      return unnamed.release();
    }
    memcpy(temp_path + strlen(temp_path) - 6, "XXXXXX", 6);
  }
  scoped_fd named(g_mkstemp_full(temp_path, O_RDWR | O_CLOEXEC, 0600));
  if (named.get() < 0) {
    fail(error, errno, "create file", temp_path);
    return -1;
  }
  if (!fill_new_file(named.get(), old_path, old, contents, length, temp_path, error)) {
    g_unlink(temp_path);
    return -1;
  }
  return named.release();
}

}  // namespace

char* read_regular_file(const char* path, gsize max_size, gsize* length, GError** error) {
  // Without blocking: a FIFO would otherwise wait for a writer here, forever.
  const scoped_fd file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) {
    fail(error, errno, "open file", path);
    return nullptr;
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) {
    fail(error, errno, "read the attributes of file", path);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    fail(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "read file", path);
    return nullptr;
  }
  if (static_cast<guint64>(st.st_size) > max_size) {
    fail(error, EFBIG, "read file", path);
    return nullptr;
  }

  // The file may change size while it is read: read to its end, but never past the limit.
  gsize capacity = static_cast<gsize>(st.st_size) + 1;
  g_autofree char* data = static_cast<char*>(g_malloc(capacity));
  gsize used = 0;
  for (;;) {
    if (used == capacity) {
      if (capacity > max_size) {
        fail(error, EFBIG, "read file", path);
        return nullptr;
      }
      capacity = MIN(capacity * 2, max_size + 1);
      data = static_cast<char*>(g_realloc(data, capacity));
    }
    const ssize_t got = read(file.get(), data + used, capacity - used);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      fail(error, errno, "read file", path);
      return nullptr;
    }
    if (got == 0) {
      break;
    }
    used += static_cast<gsize>(got);
  }
  *length = used;
  return static_cast<char*>(g_steal_pointer(&data));
}

bool replace_file_contents(
    const char* path, const char* contents, gsize length, bool* in_place, GError** error) {
  *in_place = false;
  // Whoever set the file up may keep it elsewhere and link to it: the file that the links lead to
  // is replaced, in its own folder, and the links stay as they are.
  char* resolved = realpath(path, nullptr);
  if (!resolved) {
    return fail(error, errno, "resolve", path);
  }
  g_autofree char* target = g_strdup(resolved);
  free(resolved);

  struct stat old;
  if (stat(target, &old) != 0) {
    return fail(error, errno, "read the attributes of file", target);
  }
  g_autofree char* folder_path = g_path_get_dirname(target);
  const scoped_fd folder(open(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    return fail(error, errno, "open folder", folder_path);
  }

  remove_stale_temporary_files(folder_path, target);
  // Held until the new file is in place or gone, so that no other save's sweep removes it; this
  // waits only while a sweep holds the folder alone, for as long as it takes to read it. Where the
  // file system has no such locks, no save sweeps either.
  flock(folder.get(), LOCK_SH);

  // Private until it has the old file's rights.
  g_autofree char* base = g_path_get_basename(target);
  g_autofree char* temp_path =
      g_strconcat(folder_path, "/", base, kTemporarySuffix, "XXXXXX", nullptr);
  const int temp =
      make_new_file(folder.get(), folder_path, temp_path, target, old, contents, length, error);
  if (temp < 0) {
    return false;
  }
  // close() may be the first to report that the data did not reach the disk.
  if (close(temp) != 0) {
    const int code = errno;
    g_unlink(temp_path);
    return fail(error, code, "close file", temp_path);
  }
  if (rename(temp_path, target) != 0) {
    const int code = errno;
    g_unlink(temp_path);
    return fail(error, code, "rename file", temp_path);
  }
  *in_place = true;

  // The rename reaches the disk only with the folder. Past this point the new file is in place;
  // a folder that cannot be flushed at all (EINVAL) needs no flush.
  if (fsync(folder.get()) != 0 && errno != EINVAL) {
    return fail(error, errno, "flush folder", folder_path);
  }
  return true;
}

char* find_real_folder(const char* path) {
  char* resolved = realpath(path, nullptr);
  if (!resolved) {
    return nullptr;
  }
  char* folder = g_path_get_dirname(resolved);
  free(resolved);
  return folder;
}
