#include "common/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <cerrno>

#include "common/error.h"

namespace upd {
namespace {

constexpr mode_t private_directory_mode = 0700;

[[noreturn]] void throw_directory_error(int err, const boost::filesystem::path& dir,
                                        const char* why = "create_directory") {
  throw boost::filesystem::filesystem_error(
      why, dir, boost::system::error_code(err, boost::system::system_category()));
}

// access: O_RDONLY, O_RDWR, or O_WRONLY with its flags; the mode is for
// O_CREAT.
unique_fd_t open_checked(const boost::filesystem::path& path, int access, links_t links,
                         mode_t mode = 0) {
  // O_NONBLOCK: opening a FIFO would wait for the other side.
  // O_NOCTTY: a terminal opened by mistake must not become ours.
  int flags = access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (links == links_t::refuse) flags |= O_NOFOLLOW;
  unique_fd_t fd(::open(path.c_str(), flags, mode));
  if (!fd) throw errno_error(errno, "open");
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) throw errno_error(errno, "stat");
  // Reading a directory fails just so; this only fails it sooner.
  if (S_ISDIR(status.st_mode)) throw errno_error(EISDIR, "read");
  if (!S_ISREG(status.st_mode)) throw errno_error(EINVAL, "open");
  if (links == links_t::refuse && status.st_nlink > 1) throw errno_error(EMLINK, "open");
  return fd;
}

}  // namespace

unique_fd_t open_regular_file(const boost::filesystem::path& path, links_t links) {
  return open_checked(path, O_RDONLY, links);
}

unique_fd_t open_to_append(const boost::filesystem::path& path, mode_t mode) {
  unique_fd_t fd = open_checked(path, O_WRONLY | O_APPEND, links_t::refuse);
  if (::fchmod(fd.get(), mode) != 0) throw errno_error(errno, "fchmod");
  return fd;
}

unique_fd_t open_log_file(const boost::filesystem::path& path, mode_t mode) {
  return open_checked(path, O_WRONLY | O_APPEND | O_CREAT, links_t::refuse, mode);
}

unique_fd_t open_to_consume(const boost::filesystem::path& path) {
  return open_checked(path, O_RDWR, links_t::refuse);
}

bool is_plain_file(const boost::filesystem::path& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
}

unique_fd_t create_file(const boost::filesystem::path& path, mode_t mode) {
  // unlink removes a link, a second hard link or a FIFO itself, never what
  // it leads to; a directory makes it fail (EISDIR), which is the refusal.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw errno_error(errno, "unlink");
  unique_fd_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) throw errno_error(errno, "open");
  if (::fchmod(fd.get(), mode) != 0) throw errno_error(errno, "fchmod");
  return fd;
}

void make_private_directory(const boost::filesystem::path& dir) {
  const bool created = ::mkdir(dir.c_str(), private_directory_mode) == 0;
  if (!created && errno != EEXIST) throw_directory_error(errno, dir);
  struct stat status;
  if (::lstat(dir.c_str(), &status) != 0) throw_directory_error(errno, dir);
  // A link would send the staged files wherever its author chose, and a
  // directory that another user can write lets that user swap them after
  // any check.
  if (S_ISLNK(status.st_mode)) throw_directory_error(ELOOP, dir, "a symbolic link");
  if (!S_ISDIR(status.st_mode)) throw_directory_error(ENOTDIR, dir, "not a directory");
  if (status.st_uid != ::geteuid()) throw_directory_error(EPERM, dir, "not owned by this user");
  if (status.st_mode & (S_IWGRP | S_IWOTH))
    throw_directory_error(EPERM, dir, "writable by group or others");
  // mkdir's mode passes through the umask; chmod's does not.
  if (created && ::chmod(dir.c_str(), private_directory_mode) != 0)
    throw_directory_error(errno, dir);
}

void check_trusted_ancestors(const boost::filesystem::path& dir) {
  // The real path: a link among the ancestors leads where the files go.
  const boost::filesystem::path real = boost::filesystem::canonical(boost::filesystem::absolute(dir));
  for (auto above = real.parent_path(); !above.empty(); above = above.parent_path()) {
    struct stat status;
    if (::stat(above.c_str(), &status) != 0) throw_directory_error(errno, above, "stat");
    const bool shared_safely = status.st_uid == 0 && (status.st_mode & S_ISVTX);
    if ((status.st_mode & S_IWOTH) && !shared_safely)
      throw boost::filesystem::filesystem_error(
          "ancestor writable by others", dir, above,
          boost::system::error_code(EPERM, boost::system::system_category()));
  }
}

}  // namespace upd
