// What the update benchmarks share: a BASE-zone configuration of their
// folders and one attempt of the real program through the tests' fake
// monitor, its installation request answered positively.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "configd_update_ipc.pb.h"
#include "support/child_process.h"
#include "support/fake_monitor.h"
#include "support/test_support.h"

namespace upd::bench {

// Warnings and errors to standard error, a 30 s network time-out.
inline nb::UpdateConfig base_zone_config(const boost::filesystem::path& update, const boost::filesystem::path& drl,
                                         const boost::filesystem::path& local) {
  nb::UpdateConfig config;
  config.set_log_level(nb::LOG_LEVEL_WARNING);
  config.mutable_actual_log()->set_type(nb::Log::STDERR);
  config.set_update_dir(update.string());
  config.set_network_timeout(30000);
  config.set_base_installed(true);
  config.set_base_update_enabled(true);
  config.set_base_drl_path(drl.string());
  config.set_virus_base_dir(local.string());
  return config;
}

// One zone's configuration with folders of its own under dir, updating from the server list at url.
inline nb::UpdateConfig client_config(const boost::filesystem::path& dir, const std::string& url) {
  for (const char* sub : {"update", "local"}) boost::filesystem::create_directories(dir / sub);
  if (!upd::testing::run_program(
          {NIMBO_BINARY_DIR "/bin/nimbo-publish", "drl", "--key", NIMBO_SOURCE_DIR "/keys/dev.key",
           "--out", (dir / "base.drl").string(), url},
          dir / "drl.out"))
    std::exit(1);
  return base_zone_config(dir / "update", dir / "base.drl", dir / "local");
}

// Runs a helper program; false, with its output on standard error, when it fails.
inline bool run_tool(const std::vector<std::string>& argv, const boost::filesystem::path& output) {
  if (upd::testing::run_program(argv, output)) return true;
  std::fprintf(stderr, "%s failed: %s\n", argv[0].c_str(), upd::testing::read_file(output).c_str());
  return false;
}

inline long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

struct component_run_t {
  std::optional<nb::Update2ConfigdMessage> request;  // none when the attempt failed
  double seconds = 0;  // until the request
  long peak_kib = 0;   // the program's peak resident size by then
  std::vector<nb::Update2ConfigdMessage> progress;
};

inline component_run_t run_component(const nb::UpdateConfig& config) {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  *message.mutable_config() = config;
  upd::testing::launch_t launch;
  launch.program = NIMBO_BINARY_DIR "/bin/nimbo-update";
  const auto start = std::chrono::steady_clock::now();
  upd::testing::fake_monitor_t monitor(launch);
  monitor.send(message);
  component_run_t run;
  run.request = monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST, std::chrono::minutes(30));
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_kib = peak_rss_kib(monitor.pid());
  run.progress = monitor.skipped;
  if (!run.request) std::fprintf(stderr, "no installation request:\n%s\n", monitor.stderr_text().c_str());
  nb::Configd2UpdateMessage answer;
  answer.set_tag(nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
  if (run.request) monitor.send(answer);
  monitor.wait_exit(std::chrono::minutes(1));
  return run;
}

}  // namespace upd::bench
