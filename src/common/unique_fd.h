// Sole ownership of a file descriptor: closed when the owner goes, on every
// path out of a scope, unless released. Moves, never copies. Any thread, one
// owner at a time.
#pragma once

#include <unistd.h>

#include <utility>

namespace upd {

class unique_fd_t {
 public:
  // Takes -1 (a failed open) as "nothing owned".
  explicit unique_fd_t(int fd = -1) noexcept : fd_(fd) {}
  unique_fd_t(unique_fd_t&& other) noexcept : fd_(other.release()) {}
  unique_fd_t& operator=(unique_fd_t&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~unique_fd_t() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // The descriptor becomes the caller's to close.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace upd
