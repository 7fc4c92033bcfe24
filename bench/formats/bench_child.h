// Helpers of the format benchmarks: run something in a child process and
// report its wall time and peak resident memory, so that our code and the
// peer tool are measured the same way.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace upd::bench {

struct child_result_t {
  double seconds = 0;
  long peak_rss_kib = 0;
};

// Runs body in a forked child (exit status 0 expected) or, with an empty
// body, executes argv there with stdout sent to output_path ("" keeps it).
inline child_result_t run_child(const std::function<int()>& body,
                                const std::vector<std::string>& argv = {},
                                const std::string& output_path = "") {
  // The child must not write out what this process has buffered.
  std::fflush(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid == 0) {
    if (body) ::_exit(body());
    if (!output_path.empty() && !std::freopen(output_path.c_str(), "w", stdout)) ::_exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  child_result_t result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.peak_rss_kib = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "child %s failed (status %d)\n", argv.empty() ? "body" : argv[0].c_str(),
                 status);
    std::exit(1);
  }
  return result;
}

}  // namespace upd::bench
