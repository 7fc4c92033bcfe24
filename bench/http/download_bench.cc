// Throughput and peak memory of downloader_t fetching one large file from a
// real nginx on loopback into a file, over HTTP and HTTPS, against
// `curl -s -o FILE` fetching the same URL in the same run. Each transfer
// runs in a freshly executed process of its own (download_fetch for ours),
// so the peak resident size reported for both is that of a whole process
// doing one transfer.
//
//   build/bin/download_bench [size-in-MiB, default 1024] [rounds, default 3]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/child_process.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace fs = boost::filesystem;

struct run_t {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

// Runs body in a child process; its wall time and peak resident size.
run_t measure(const std::function<int()>& body) {
  const auto start = clock_type::now();
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run_t run;
  run.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  run.peak_kib = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

int curl(const std::string& url, const fs::path& out) {
  ::execlp("curl", "curl", "-s", "-k", "-o", out.c_str(), url.c_str(), static_cast<char*>(nullptr));
  return 127;
}

int ours(const std::string& url, const fs::path& out, const fs::path& report) {
  const fs::path fetch = fs::read_symlink("/proc/self/exe").parent_path() / "download_fetch";
  ::execl(fetch.c_str(), "download_fetch", url.c_str(), out.c_str(), report.c_str(),
          static_cast<char*>(nullptr));
  return 127;
}

void write_sample(const fs::path& path, std::size_t mib) {
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 2654435761u) >> 13);
  FILE* file = std::fopen(path.c_str(), "wb");
  for (std::size_t i = 0; i < mib; ++i) std::fwrite(block.data(), 1, block.size(), file);
  std::fclose(file);
}

run_t best_of(int rounds, const std::function<int()>& body, std::uintmax_t expected,
              const fs::path& out) {
  run_t best;
  for (int i = 0; i < rounds; ++i) {
    run_t run = measure(body);
    run.ok = run.ok && fs::file_size(out) == expected;
    fs::remove(out);
    if (!run.ok) return run;
    if (i == 0 || run.seconds < best.seconds) best.seconds = run.seconds;
    best.peak_kib = std::max(best.peak_kib, run.peak_kib);
    best.ok = true;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string reason = upd::testing::nginx_server_t::unavailable_reason();
  if (!reason.empty() || upd::testing::find_program("curl").empty()) {
    std::printf("download_bench skipped: %s\n",
                reason.empty() ? "curl is not installed" : reason.c_str());
    return 0;
  }
  upd::testing::temp_dir_t dir;
  fs::create_directories(dir / "www");
  write_sample(dir / "www" / "big.bin", mib);
  upd::testing::nginx_server_t nginx(dir / "www");
  const auto size = fs::file_size(dir / "www" / "big.bin");
  const fs::path out = dir / "out.bin";

  std::printf("%zu MiB from nginx on loopback into a file, best of %d\n", mib, rounds);
  std::printf("%-6s %10s %10s %6s %15s %15s %15s\n", "proto", "ours MB/s", "curl MB/s", "ratio",
              "ours peak KiB", "ours grew KiB", "curl peak KiB");
  bool all_ok = true;
  for (const bool https : {false, true}) {
    const std::string url = https ? nginx.https_url("big.bin") : nginx.http_url("big.bin");
    const run_t c = best_of(
        rounds, [&] { return curl(url, out); }, size, out);
    const fs::path report = dir / "before.txt";
    const run_t o = best_of(
        rounds, [&] { return ours(url, out, report); }, size, out);
    const long before = std::atol(upd::testing::read_file(report).c_str());
    if (!c.ok || !o.ok) {
      std::printf("%-6s failed (ours %s, curl %s)\n", https ? "https" : "http",
                  o.ok ? "ok" : "failed", c.ok ? "ok" : "failed");
      all_ok = false;
      continue;
    }
    const double megabytes = static_cast<double>(size) / 1e6;
    std::printf("%-6s %10.1f %10.1f %6.2f %15ld %15ld %15ld\n", https ? "https" : "http",
                megabytes / o.seconds, megabytes / c.seconds, c.seconds / o.seconds, o.peak_kib,
                o.peak_kib - before, c.peak_kib);
  }
  return all_ok ? 0 : 1;
}
