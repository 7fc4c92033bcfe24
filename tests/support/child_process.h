// Runs helper programs (servers, certificate and password tools) for tests.
// A child_process_t is stopped with SIGTERM and reaped on destruction; its
// standard output and error go to a file. Owned by one test thread.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace upd::testing {

class child_process_t {
 public:
  // Starts argv[0] (looked up in PATH) with the given arguments.
  child_process_t(const std::vector<std::string>& argv, const boost::filesystem::path& output);
  ~child_process_t();
  child_process_t(const child_process_t&) = delete;
  child_process_t& operator=(const child_process_t&) = delete;

  // Sends the signal and waits; returns the raw wait status. Idempotent.
  int stop(int signal = SIGTERM);
  bool running();

 private:
  pid_t pid_;
  int status_ = 0;
};

// Runs a program to its end; true when it exits with status 0.
bool run_program(const std::vector<std::string>& argv, const boost::filesystem::path& output);

// The full path of a program found in PATH or the sbin folders, or "".
std::string find_program(const std::string& name);

// A loopback TCP port that was free a moment ago.
std::uint16_t free_port();

// Waits up to about five seconds until 127.0.0.1:port accepts connections.
bool wait_for_port(std::uint16_t port);

}  // namespace upd::testing
