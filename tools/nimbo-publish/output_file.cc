#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/fd_io.h"

namespace upd::publish {

void fail_with_errno(const std::filesystem::path& path, const char* context) {
  throw std::runtime_error(path.string() + ": " + context + ": " + std::strerror(errno));
}

void write_atomically(const std::filesystem::path& path, const std::function<void(int fd)>& fill) {
  std::filesystem::path temporary = path;
  temporary += ".part";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail_with_errno(temporary, "open");
  try {
    fill(fd);
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    fail_with_errno(temporary, "close");
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    fail_with_errno(path, "rename");
  }
}

void write_atomically(const std::filesystem::path& path, std::string_view bytes) {
  write_atomically(path, [&](int fd) {
    try {
      write_all(fd, bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      throw std::runtime_error(path.string() + ": " + e.what());
    }
  });
}

}  // namespace upd::publish
