#include "keyfile/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/fd_io.h"

namespace upd {

void write_new_file(const std::string& path, std::string_view bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  bool written = ::fchmod(fd, mode) == 0;
  try {
    if (written) write_all(fd, bytes.data(), bytes.size());
  } catch (const std::exception&) {
    written = false;
  }
  if (::close(fd) != 0 || !written) {
    ::unlink(path.c_str());
    throw std::runtime_error(path + ": cannot write the key file");
  }
}

}  // namespace upd
