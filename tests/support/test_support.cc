#include "support/test_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <stdexcept>

namespace upd::testing {

namespace fs = boost::filesystem;

temp_dir_t::temp_dir_t() : path_(fs::temp_directory_path() / fs::unique_path("nimbo-test-%%%%-%%%%-%%%%")) {
  fs::create_directories(path_);
}

temp_dir_t::~temp_dir_t() {
  boost::system::error_code ignored;
  fs::remove_all(path_, ignored);
}

socket_pair_t::socket_pair_t() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0)
    throw std::runtime_error("socketpair failed");
}

socket_pair_t::~socket_pair_t() {
  for (int f : fd)
    if (f >= 0) ::close(f);
}

int socket_pair_t::release(int index) {
  int f = fd[index];
  fd[index] = -1;
  return f;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

fd_capture_t::fd_capture_t(int fd) : fd_(fd), saved_(::dup(fd)) {
  std::fflush(nullptr);
  int out = ::open((dir_ / "captured").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(out, fd_);
  ::close(out);
}

fd_capture_t::~fd_capture_t() { text(); }

std::string fd_capture_t::text() {
  if (!restored_) {
    std::fflush(nullptr);
    std::cerr.flush();
    ::dup2(saved_, fd_);
    ::close(saved_);
    restored_ = true;
  }
  return read_file(dir_ / "captured");
}

}  // namespace upd::testing
