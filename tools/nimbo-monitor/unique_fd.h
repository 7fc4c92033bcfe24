// A file descriptor owned by one scope: closed on destruction unless released.
#pragma once

#include <unistd.h>

#include <utility>

namespace upd::monitor {

class unique_fd_t {
 public:
  explicit unique_fd_t(int fd = -1) : fd_(fd) {}
  unique_fd_t(unique_fd_t&& other) noexcept : fd_(other.release()) {}
  unique_fd_t& operator=(unique_fd_t&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~unique_fd_t() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace upd::monitor
