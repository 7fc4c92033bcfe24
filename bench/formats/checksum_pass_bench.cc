// Throughput of the checksum pass (checker_t::check_all from an empty
// cache, cache written back included) over many files with a warm page
// cache, against "openssl dgst -sha256" over the same files; then a second
// pass, which should find every file in the cache and hash nothing.
//
//   build/bin/checksum_pass_bench [file-count=1000] [file-KiB=1024] [rounds=3]
#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "bench_child.h"
#include "formats/checksum_cache.h"
#include "update/progress.h"

namespace {

namespace fs = boost::filesystem;
using clock_type = std::chrono::steady_clock;

class check_watcher_t : public upd::progress_watcher_t {
 public:
  void check_progress_changed(const nb::UpdateCheckProgress& progress) override {
    bytes_to_check = progress.bytes_to_check();
  }
  void download_progress_changed(const nb::UpdateDownloadProgress&) override {}
  void stat_ready(const nb::UpdateAppStat&) override {}
  std::uint32_t bytes_to_check = 0;
};

struct pass_result_t {
  double seconds;
  std::uint32_t bytes_to_check;
};

// One attempt's use of the cache: load, register, pass, write back.
pass_result_t checksum_pass(const fs::path& dir, const std::vector<fs::path>& files) {
  boost::asio::io_context controller;
  check_watcher_t watcher;
  upd::progress_t progress(controller, &watcher);
  auto start = clock_type::now();
  {
    upd::checker_t checker(dir);
    checker.add_paths(files);
    checker.check_all(progress);
  }
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  controller.poll();
  return {seconds, watcher.bytes_to_check};
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const std::size_t size = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024) << 10;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;

  const fs::path dir = fs::temp_directory_path() / fs::unique_path("checksum-bench-%%%%-%%%%");
  fs::create_directories(dir);
  std::vector<fs::path> files;
  std::string content(size, '\0');
  std::mt19937_64 random(7);
  for (int i = 0; i < count; ++i) {
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
      std::uint64_t word = random();
      std::memcpy(&content[at], &word, 8);
    }
    files.push_back(dir / ("file" + std::to_string(i) + ".vdb"));
    std::ofstream(files.back().string(), std::ios::binary) << content;
  }
  // Files whose status changed in the current second are hashed but not
  // recorded; the second pass is only meaningful once that second is over.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));

  std::vector<std::string> peer_argv = {"openssl", "dgst", "-sha256"};
  for (const fs::path& file : files) peer_argv.push_back(file.string());
  // Warm the page cache.
  upd::bench::run_child(nullptr, peer_argv, "/dev/null");

  double best_ours = 1e9, best_peer = 1e9;
  for (int round = 0; round < rounds; ++round) {
    double peer = upd::bench::run_child(nullptr, peer_argv, "/dev/null").seconds;
    fs::remove(dir / upd::checker_t::cache_name);
    pass_result_t ours = checksum_pass(dir, files);
    std::printf("round %d: ours %.3f s (%u bytes to check), openssl %.3f s\n", round + 1,
                ours.seconds, ours.bytes_to_check, peer);
    best_ours = std::min(best_ours, ours.seconds);
    best_peer = std::min(best_peer, peer);
  }
  pass_result_t second = checksum_pass(dir, files);

  const double mib = static_cast<double>(size) * count / (1 << 20);
  std::printf("%d files of %zu KiB, %.0f MiB\n", count, size >> 10, mib);
  std::printf("ours:    %.1f MiB/s\n", mib / best_ours);
  std::printf("openssl: %.1f MiB/s\n", mib / best_peer);
  std::printf("throughput ratio ours/openssl: %.3f (goal >= 0.95)\n", best_peer / best_ours);
  std::printf("second pass: %u bytes to check, %.4f s\n", second.bytes_to_check, second.seconds);
  fs::remove_all(dir);
  return second.bytes_to_check == 0 ? 0 : 1;
}
