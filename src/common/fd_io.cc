#include "common/fd_io.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/error.h"

namespace upd {

void write_all(int fd, const void* bytes, std::size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = ::write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw errno_error(errno, "write");
    }
    if (n == 0)
      throw boost::system::system_error(nb::make_error_code(nb::EC_UNEXPECTED_ERROR), "write");
    p += n;
    length -= static_cast<std::size_t>(n);
  }
}

void read_all(int fd, void* buffer, std::size_t length) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t n = ::read(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw errno_error(errno, "read");
    }
    if (n == 0) throw std::runtime_error("unexpected eof");
    p += n;
    length -= static_cast<std::size_t>(n);
  }
}

}  // namespace upd
