#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace upd::testing {

namespace {

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (const auto& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

}  // namespace

sockaddr_in loopback_address(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

pid_t spawn(const spawn_t& how) {
  // Everything is prepared before the fork: the child of a threaded process
  // may only make async-signal-safe calls.
  const std::string program = how.argv[0].find('/') == std::string::npos ? find_program(how.argv[0]) : how.argv[0];
  const auto argv = pointers(how.argv);
  const auto env = pointers(how.env);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Descriptor 3 first, before an open takes its number; a dup2 onto
    // itself would keep close-on-exec set.
    if (how.fd3 >= 0) ::dup2(how.fd3 == 3 ? ::fcntl(3, F_DUPFD_CLOEXEC, 10) : how.fd3, 3);
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(how.out.c_str(), flags, 0644);
    const int err = how.err.empty() ? out : ::open(how.err.c_str(), flags, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setpgid(0, 0);
    ::execve(program.c_str(), argv.data(), how.env.empty() ? environ : env.data());
    ::_exit(127);
  }
  return pid;
}

int child_process_t::stop(int signal) {
  if (pid_ <= 0) return status_;
  ::kill(pid_, signal);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
  return status_;
}

bool run_program(const std::vector<std::string>& argv, const boost::filesystem::path& output) {
  child_process_t child(argv, output);
  // Waits for the natural end: signal 0 only checks that the process exists.
  const int status = child.stop(0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string find_program(const std::string& name) {
  const std::string path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/sbin:/sbin";
  for (std::size_t start = 0, end; start < path.size(); start = end + 1) {
    end = std::min(path.find(':', start), path.size());
    const std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback_address(0);
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
    const sockaddr_in address = loopback_address(port);
    const bool open = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (open) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace upd::testing
