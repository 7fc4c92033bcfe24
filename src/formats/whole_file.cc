#include "formats/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/error.h"
#include "common/fd_io.h"

namespace upd {
namespace {

struct fd_guard_t {
  int fd;
  ~fd_guard_t() { ::close(fd); }
};

}  // namespace

std::string read_whole_file(const boost::filesystem::path& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw errno_error(errno, "open");
  fd_guard_t guard{fd};
  struct stat status;
  if (::fstat(fd, &status) != 0) throw errno_error(errno, "stat");
  if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > limit) throw std::runtime_error("file too big");
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  read_all(fd, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace upd
