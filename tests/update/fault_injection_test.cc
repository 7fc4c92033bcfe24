// Update attempts of the real program against nginx, each ended by SIGTERM
// or SIGKILL at a random moment: every run ends with EC_APP_TERMINATED (107)
// or by the kill, the local folder is never written, the checksum cache is
// always intact or absent, and a last undisturbed run completes the update.
//
// NIMBO_FAULT_ATTEMPTS sets the number of attempts (default 40; the full
// figure is 100) and NIMBO_FAULT_SEED the random seed (default 1); the
// counts are printed.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "formats/cache_file.h"
#include "formats/checksum_cache.h"
#include "formats/lzma_samples.h"
#include "main/component.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using clock_type = std::chrono::steady_clock;

unsigned env_number(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

using FaultInjection = UpdateRunTest;

TEST_F(FaultInjection, KilledAttemptsLeaveLocalFilesAndAReadableCache) {
  // Eight files of 256 KiB to fetch and unpack, and a current local file of
  // 2 MiB for the checksum pass.
  files_t files;
  for (int i = 0; i < 8; ++i) files["f" + std::to_string(i) + ".vdb"] = sample_data(256 << 10, i + 1);
  files["big.vdb"] = sample_data(2 << 20, 99);
  files["timestamp"] = "202612061800";
  write_drl({publish(files)});
  write_file(local_ / "big.vdb", files["big.vdb"]);
  write_file(local_ / "f0.vdb", "outdated");

  const unsigned attempts = env_number("NIMBO_FAULT_ATTEMPTS", 40), seed = env_number("NIMBO_FAULT_SEED", 1);
  std::mt19937 random(seed);
  // Undisturbed attempts, from scratch and with everything staged, set the
  // spans the kills are spread over.
  const auto timed_run = [&] {
    const auto start = clock_type::now();
    EXPECT_EQ(run().exit_status, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start);
  };
  const auto fresh_span = timed_run(), staged_span = timed_run();
  fs::remove_all(update_);
  fs::create_directories(update_);

  const auto local_before = tree(local_);
  unsigned terminated = 0, killed = 0;
  std::map<std::string, unsigned> stages;
  for (unsigned attempt = 0; attempt < attempts; ++attempt) {
    // Half the attempts start without what earlier ones staged.
    const bool fresh = random() % 2;
    if (fresh) fs::remove_all(update_ / "bases");
    const bool sigkill = random() % 5 == 0;
    const std::chrono::microseconds moment(random() % ((fresh ? fresh_span : staged_span).count() + 1));
    fs::remove(log_);
    {
      fake_monitor_t monitor(component());
      monitor.send(context_of(config()));
      ASSERT_TRUE(monitor.wait_for_handler(SIGTERM));
      // The installation request is never answered: the process is alive
      // whenever the signal comes.
      std::this_thread::sleep_for(moment);
      ::kill(monitor.pid(), sigkill ? SIGKILL : SIGTERM);
      ASSERT_EQ(monitor.wait_exit(), sigkill ? -SIGKILL : 107) << "attempt " << attempt << " after " << moment.count();
      ++(sigkill ? killed : terminated);
    }
    // How far the attempt had got, from its log.
    const std::string log = read_file(log_);
    ++stages[log.find("Network usage") != std::string::npos        ? "awaiting installation"
             : log.find(".vdb.lzma") != std::string::npos          ? "downloads"
             : log.find("Downloaded version.lst") != std::string::npos ? "checksum pass"
                                                                        : "before the list"];
    ASSERT_EQ(tree(local_), local_before) << "attempt " << attempt;
    const fs::path cache = update_ / checker_t::cache_name;
    if (fs::exists(cache)) {
      EXPECT_NO_THROW(decode_cache(read_file(cache)));
    }
  }
  std::printf("fault injection: seed %u, %u attempts (whole attempt %lld us fresh, %lld us staged): "
              "%u ended with 107 after SIGTERM, %u killed by SIGKILL\n",
              seed, attempts, static_cast<long long>(fresh_span.count()), static_cast<long long>(staged_span.count()),
              terminated, killed);
  for (const auto& [stage, count] : stages) std::printf("  killed at %s: %u\n", stage.c_str(), count);

  expect_staged(run(), files, 9);
}

}  // namespace
}  // namespace upd::testing
