// Runs helper programs (servers, certificate and password tools, the
// component) for tests. A child_process_t is stopped with SIGTERM and reaped
// on destruction. Owned by one test thread.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace upd::testing {

// How to start a program: argv[0] is looked up in PATH; env replaces the
// environment when not empty; fd3 (when >= 0) becomes descriptor 3.
struct spawn_t {
  std::vector<std::string> argv;
  boost::filesystem::path out, err;  // standard output and error (err empty: with out)
  std::vector<std::string> env;
  int fd3 = -1;
};
pid_t spawn(const spawn_t& how);

class child_process_t {
 public:
  child_process_t(const std::vector<std::string>& argv, const boost::filesystem::path& output)
      : pid_(spawn({argv, output, {}, {}, -1})) {}
  ~child_process_t() { stop(); }
  child_process_t(const child_process_t&) = delete;
  child_process_t& operator=(const child_process_t&) = delete;
  // Sends the signal and waits; returns the raw wait status. Idempotent.
  int stop(int signal = SIGTERM);

 private:
  pid_t pid_;
  int status_ = 0;
};

// Runs a program to its end; true when it exits with status 0.
bool run_program(const std::vector<std::string>& argv, const boost::filesystem::path& output);

// The full path of a program found in PATH or the sbin folders, or "".
std::string find_program(const std::string& name);

// 127.0.0.1 at the port.
sockaddr_in loopback_address(std::uint16_t port);

// A loopback TCP port that was free a moment ago.
std::uint16_t free_port();

// Waits up to about five seconds until 127.0.0.1:port accepts connections.
bool wait_for_port(std::uint16_t port);

}  // namespace upd::testing
