#include "formats/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/error.h"
#include "common/safe_file.h"

namespace upd {
namespace {

// Makes the rename itself durable. A directory that cannot be synced still
// holds either the old file or the new one, so its failure is not reported.
void sync_directory(const boost::filesystem::path& directory) {
  int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

void write_temporary(const boost::filesystem::path& temporary, const std::string& bytes,
                     mode_t mode, const write_fn_t& write) {
  // Whatever stood at the name (a file left by a crash, a link planted
  // there) is replaced, never written through.
  unique_fd_t fd = create_file(temporary, mode);
  write(fd.get(), bytes.data(), bytes.size());
  if (::fsync(fd.get()) != 0) throw errno_error(errno, "fsync");
  if (::close(fd.release()) != 0) throw errno_error(errno, "close");
}

}  // namespace

void replace_file(const boost::filesystem::path& path, const std::string& bytes, mode_t mode,
                  const write_fn_t& write) {
  boost::filesystem::path temporary = path;
  temporary += ".tmp";
  try {
    write_temporary(temporary, bytes, mode, write);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) throw errno_error(errno, "rename");
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  sync_directory(path.parent_path());
}

}  // namespace upd
