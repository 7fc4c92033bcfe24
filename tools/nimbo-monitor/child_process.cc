#include "child_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/error.h"

extern char** environ;

namespace upd::monitor {

namespace {

constexpr const char* link_variable = "COM_NIMBO_MONITOR";

std::runtime_error start_error(const std::string& program, int err) {
  return std::runtime_error("cannot start " + program + ": " + std::strerror(err));
}

// Built before fork(): the child may only make async-signal-safe calls.
std::vector<std::string> child_environment(int link_fd) {
  const std::string prefix = std::string(link_variable) + "=";
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) env.emplace_back(*entry);
  env.push_back(prefix + std::to_string(link_fd));
  return env;
}

}  // namespace

child_process_t start_component(const std::string& program) {
  int link[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) throw start_error(program, errno);
  unique_fd_t ours(link[0]), theirs(link[1]);
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) throw start_error(program, errno);
  unique_fd_t err_read(err[0]), err_write(err[1]);
  // Carries errno from a failed exec; closes unread when exec succeeds.
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) throw start_error(program, errno);
  unique_fd_t status_read(status[0]), status_write(status[1]);

  const std::vector<std::string> env = child_environment(theirs.get());
  std::vector<char*> envp;
  for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

  const pid_t pid = ::fork();
  if (pid < 0) throw start_error(program, errno);
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(err_write.get(), 2);
    ::fcntl(theirs.get(), F_SETFD, 0);  // the one descriptor the child inherits
    ::execve(program.c_str(), argv, envp.data());
    const int error = errno;
    [[maybe_unused]] ssize_t ignored = ::write(status_write.get(), &error, sizeof error);
    ::_exit(127);
  }
  status_write = unique_fd_t();
  theirs = unique_fd_t();
  err_write = unique_fd_t();
  int error = 0;
  ssize_t n;
  do n = ::read(status_read.get(), &error, sizeof error);
  while (n < 0 && errno == EINTR);
  if (n > 0) {
    int ignored;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    throw start_error(program, error);
  }
  child_process_t child;
  child.pid = pid;
  child.link = std::move(ours);
  child.error_output = std::move(err_read);
  return child;
}

std::string describe_wait_status(int status) {
  if (WIFSIGNALED(status))
    return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  const int code = WEXITSTATUS(status);
  return "exited with status " + std::to_string(code) + " (" + error_text(code) + ")";
}

int exit_code_of(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

}  // namespace upd::monitor
