// A 64 MiB file whose transfers break, through a relay in front of nginx:
// cut every few MiB, or a run killed half-way and then a second run, with
// the server ignoring ranges or the partial file altered in between. Each
// ends with the right file staged, no partial file left, and no more bytes
// received by the completing run than its bound allows.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <random>
#include <thread>

#include "support/fault_proxy.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
constexpr std::uint64_t mib = 1 << 20, size = 64 * mib;

using ResumeRun = UpdateRunTest;

TEST_F(ResumeRun, BrokenTransfersCompleteWithoutFetchingTheFileAgain) {
  // Random bytes of a prime period, so that a piece joined at a wrong offset
  // shows; the compressed form goes, so that all of them travel.
  std::mt19937 random(7);
  std::string period(4093, '\0'), data;
  for (auto& c : period) c = static_cast<char>(random());
  while (data.size() < size) data += period;
  data.resize(size);
  const files_t files = {{"big.vdb", data}};
  publish(files);
  fs::remove(served() / "big.vdb.lzma");
  const fs::path staging = update_ / "bases", partial = staging / "big.vdb-partial";
  const struct {
    const char* name;
    bool killed_half_way;           // by SIGKILL, in a first run
    fault_proxy_t::faults_t faults;  // of the run that completes
    bool alter_partial;
    double most;  // the bytes that run receives over the file's size
    const char* line;
  } cases[] = {
      {"cut every 8 MiB", false, {.cut_every = 8 * mib}, false, 1.15, "Debug: Resuming "},
      {"killed half-way", true, {}, false, 0.6, "Debug: Resuming "},
      {"killed half-way, the server ignores ranges", true, {.drop_range = true}, false, 1.15, "Debug: Resuming "},
      {"killed half-way, the partial file altered", true, {}, true, 1.6, "; fetching it afresh"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(update_);
    fs::create_directories(staging);
    if (c.killed_half_way) {
      fault_proxy_t proxy(nginx_->http_port(), {.hold_after = size / 2});
      write_drl({proxy.url(id_ + "/")});
      fake_monitor_t monitor(component());
      monitor.send(context_of(config()));
      // Killed once it has written what it read, but for its last 64 KiB
      // write piece and the few bytes of the list and heads.
      const auto written = [&] {
        boost::system::error_code absent;
        const auto bytes = fs::file_size(partial, absent);
        return absent ? 0 : bytes;
      };
      while (!proxy.holding() || written() < size / 2 - 128 * 1024)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      monitor.kill(SIGKILL);
      monitor.wait_exit();
    }
    if (c.alter_partial) {
      std::string bytes = read_file(partial);
      bytes[size / 4] ^= 1;
      write_file(partial, bytes);
    }
    // Partial files of names the list does not hold go at the end.
    write_file(staging / "gone.vdb.lzma-partial", "old");
    fault_proxy_t proxy(nginx_->http_port(), c.faults);
    write_drl({proxy.url(id_ + "/")});
    const auto run = this->run();
    expect_staged(run, files, 1);
    EXPECT_TRUE(has_line(run, c.line)) << ::testing::PrintToString(run.log);
    EXPECT_EQ(tree(staging).size(), 1u);
    EXPECT_LE(proxy.passed(), c.most * size);
    std::printf("%s: %.3f of the file's size received\n", c.name, static_cast<double>(proxy.passed()) / size);
  }
}

}  // namespace
}  // namespace upd::testing
