#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace upd::testing {

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

pid_t spawn(const std::vector<std::string>& argv, const boost::filesystem::path& output) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::setpgid(0, 0);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

child_process_t::child_process_t(const std::vector<std::string>& argv,
                                 const boost::filesystem::path& output)
    : pid_(spawn(argv, output)) {}

child_process_t::~child_process_t() { stop(); }

int child_process_t::stop(int signal) {
  if (pid_ <= 0) return status_;
  ::kill(pid_, signal);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
  return status_;
}

bool child_process_t::running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = 0;
  return false;
}

bool run_program(const std::vector<std::string>& argv, const boost::filesystem::path& output) {
  const pid_t pid = spawn(argv, output);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string find_program(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = std::min(path.find(':', start), path.size());
    const auto candidate = boost::filesystem::path(path.substr(start, end - start)) / name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return {};
}

std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(address.sin_port);
}

bool wait_for_port(std::uint16_t port) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool open =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (open) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace upd::testing
