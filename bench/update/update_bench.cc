// A cold update of one zone (2,000 files, 256 MiB, compressible and
// incompressible mixed) from nginx on loopback, against a shell loop doing
// the same work one file after another with curl, xz and sha256sum; then a
// warm run where nothing changed. Prints times, ratios and peak memory.
//
//   build/bin/update_bench [FILES] [TOTAL_MIB]
#include <sys/resource.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "component_run.h"
#include "support/child_process.h"
#include "support/fake_monitor.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using namespace upd::testing;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Half the files are random bytes, half base64 text of random bytes.
void make_source(const fs::path& dir, int files, std::size_t total) {
  fs::create_directories(dir);
  std::mt19937_64 random(42);
  const std::size_t each = total / static_cast<std::size_t>(files);
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < files; ++i) {
    std::string bytes(each, '\0');
    for (auto& c : bytes) {
      const auto r = random();
      c = (i % 2) ? static_cast<char>(r) : alphabet[r % 64];
    }
    std::ofstream(dir / ("file" + std::to_string(i) + ".dat"), std::ios::binary) << bytes;
  }
}

struct run_t {
  double seconds;
  long peak_kib;
  std::uint32_t bytes_checked;
  int placed;
};

run_t update_once(const nb::UpdateConfig& config) {
  const upd::bench::component_run_t attempt = upd::bench::run_component(config);
  if (!attempt.request) std::exit(1);
  run_t run{attempt.seconds, attempt.peak_kib, 0, attempt.request->install().to_place_size()};
  for (const auto& m : attempt.progress)
    if (m.has_check()) run.bytes_checked = m.check().bytes_to_check();
  // Install as a monitor would, so that the next run finds current files.
  for (const auto& item : attempt.request->install().to_place()) fs::rename(item.source(), item.destination());
  return run;
}

double time_shell(const std::string& script, const fs::path& output) {
  const auto start = clock_type::now();
  if (!run_program({"bash", "-c", script}, output)) {
    std::fprintf(stderr, "reference script failed: %s\n", read_file(output).c_str());
    std::exit(1);
  }
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::size_t total = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256) << 20;
  temp_dir_t dir;
  const fs::path www = dir / "www", local = dir / "local", update = dir / "update",
                 reference = dir / "reference";
  for (const auto& d : {www, local, update, reference}) fs::create_directories(d);

  std::printf("preparing %d files, %zu MiB ...\n", files, total >> 20);
  make_source(dir / "source", files, total);
  if (!run_program({NIMBO_BINARY_DIR "/bin/nimbo-publish", "list", "--key",
                    NIMBO_SOURCE_DIR "/keys/dev.key", "--source", (dir / "source").string(), "--out",
                    (www / "bases").string()},
                   dir / "publish.out")) {
    std::fprintf(stderr, "publish failed: %s\n", read_file(dir / "publish.out").c_str());
    return 1;
  }
  nginx_server_t nginx(www);
  const std::string base = nginx.http_url("bases/");
  if (!run_program({NIMBO_BINARY_DIR "/bin/nimbo-publish", "drl", "--key",
                    NIMBO_SOURCE_DIR "/keys/dev.key", "--out", (dir / "base.drl").string(), base},
                   dir / "drl.out"))
    return 1;

  // The reference: the same files fetched, unpacked and hashed one by one.
  const std::string names = "$(cd " + (dir / "source").string() + " && ls)";
  const double shell = time_shell(
      "set -e; cd " + reference.string() + "; curl -s -o version.lst " + base + "version.lst; for f in " +
          names + "; do curl -s -o $f.lzma " + base + "$f.lzma; xz -dc --format=lzma $f.lzma > $f; " +
          "rm $f.lzma; sha256sum $f > /dev/null; done",
      dir / "reference.out");
  const double xz_alone = time_shell("set -e; cd " + (www / "bases").string() + "; for f in " + names +
                                         "; do xz -dc --format=lzma $f.lzma > /dev/null; done",
                                     dir / "xz.out");

  const nb::UpdateConfig config = upd::bench::base_zone_config(update, dir / "base.drl", local);

  const run_t cold = update_once(config);
  const run_t rehash = update_once(config);  // installed files are new to the cache
  const run_t warm = update_once(config);

  std::printf("cold update, %d files placed:        %8.2f s\n", cold.placed, cold.seconds);
  std::printf("curl + xz + sha256sum, file by file: %8.2f s  -> nimbo-update is %.2fx as fast (target >= 1.2)\n",
              shell, shell / cold.seconds);
  std::printf("xz -dc alone on the same files:      %8.2f s  -> cold run / xz alone = %.2f\n", xz_alone,
              cold.seconds / xz_alone);
  std::printf("peak RSS of nimbo-update, cold run:  %8.1f MiB (target < 16 MiB + the LZMA dictionary)\n",
              cold.peak_kib / 1024.0);
  std::printf("run after installation (hashes %u bytes): %.2f s\n", rehash.bytes_checked, rehash.seconds);
  std::printf("warm run, nothing changed:           %8.3f s  = %.2f%% of the cold run (target < 2%%), %u bytes hashed\n",
              warm.seconds, 100 * warm.seconds / cold.seconds, warm.bytes_checked);
}
