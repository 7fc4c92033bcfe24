// What a day's change to a signature base costs with patches: a synthetic
// base of text and binary records changes for seven days (0.5% of the
// records appended, 0.1% deleted, 0.1% changed a day), and for the last day
// the bench sets side by side, in the same run, the packed whole (".lzma" as
// nimbo-publish writes it), the publisher's patch, and the peers
// `xdelta3 -e -9 -s`, `bsdiff` (up to 64 MiB) and
// `zstd -19 --long=31 --patch-from` (up to 64 MiB unless --all-peers: it
// takes minutes a patch). Applying the patch (apply_patch_file) is timed
// against unpacking the packed whole and `xdelta3 -d`, with the peak
// anonymous memory (RssAnon) of the applying process. The publisher's time
// a patch is printed for each level tried, which is how the level and the
// long-distance matching of patch_maker.h were chosen.
//
//   build/bin/delta_bench [MiB,...=64,256] [--all-peers]
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_child.h"
#include "formats/file_sha256.h"
#include "formats/lzma_file.h"
#include "formats/patch_file.h"
#include "patch_maker.h"

namespace {

namespace fs = boost::filesystem;
using upd::bench::run_child;

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

// A record from its key (id and version): every other one a text line, the
// rest binary (a tag, a length and random bytes), as hash and pattern
// records come in real bases.
void append_record(std::string& out, std::uint64_t key) {
  std::uint64_t state = mix(key);
  if (key % 2 == 0) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "Trojan.Gen.%llu:%016llx%016llx:%llu\n",
                                static_cast<unsigned long long>(state % 100000),
                                static_cast<unsigned long long>(mix(state + 1)),
                                static_cast<unsigned long long>(mix(state + 2)),
                                static_cast<unsigned long long>(mix(state + 3) % 4096));
    out.append(line, static_cast<std::size_t>(n));
    return;
  }
  const std::size_t length = 24 + state % 48;
  out += '\xb1';
  out += static_cast<char>(length);
  for (std::size_t i = 0; i < length; i += 8) {
    state = mix(state);
    out.append(reinterpret_cast<const char*>(&state), std::min<std::size_t>(8, length - i));
  }
}

void write_version(const fs::path& path, const std::vector<std::uint64_t>& keys) {
  std::ofstream file(path.string(), std::ios::binary);
  std::string piece;
  for (const auto key : keys) {
    append_record(piece, key);
    if (piece.size() > (1 << 20)) file << std::exchange(piece, {});
  }
  file << piece;
}

// Writes v0 (size bytes) to v7 into dir.
void write_versions(const fs::path& dir, std::uint64_t size) {
  std::vector<std::uint64_t> keys;
  std::uint64_t next = 0, random = 1;
  for (std::uint64_t total = 0; total < size; ++next) {
    std::string record;
    append_record(record, next << 8);
    keys.push_back(next << 8);
    total += record.size();
  }
  write_version(dir / "v0", keys);
  for (int day = 1; day <= 7; ++day) {
    const std::size_t n = keys.size();
    for (std::size_t i = 0; i < n / 1000; ++i) keys[mix(++random) % n] += 1;          // changed
    for (std::size_t i = 0; i < n / 1000; ++i) keys[mix(++random) % n] = UINT64_MAX;  // deleted
    std::erase(keys, UINT64_MAX);
    for (std::size_t i = 0; i < n * 5 / 1000; ++i) keys.push_back(next++ << 8);
    write_version(dir / ("v" + std::to_string(day)), keys);
  }
}

// Peak RssAnon of a child while it runs, sampled every millisecond.
long rss_anon_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  return 0;
}

struct measured_t {
  double seconds;
  long peak_anon_kib;
};

measured_t run_sampled(const std::function<void()>& body) {
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  long peak = 0;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    peak = std::max(peak, rss_anon_kib(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "child failed\n");
    std::exit(1);
  }
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), peak};
}

double seconds_of(const std::vector<std::string>& argv, const std::string& output = "") {
  return run_child(nullptr, argv, output).seconds;
}

double kib(const fs::path& path) { return static_cast<double>(fs::file_size(path)) / 1024; }

void bench_size(const fs::path& dir, std::uint64_t mib, bool all_peers) {
  std::printf("== %llu MiB base, seven days\n", static_cast<unsigned long long>(mib));
  write_versions(dir, mib << 20);
  const fs::path old_file = dir / "v6", new_file = dir / "v7", packed = dir / "v7.lzma";
  const std::string expected = upd::file_sha256(new_file);
  const double packing =
      seconds_of({"xz", "--format=lzma", "-6", "-T1", "-c", new_file.string()}, packed.string());
  std::printf("packed whole: %.0f KiB (%.1f s to pack)\n", kib(packed), packing);

  // The publisher's patch at the levels considered.
  std::string ours;
  for (const int level : std::set<int>{1, 3, 6, 9, upd::publish::patch_level}) {
    const auto start = std::chrono::steady_clock::now();
    std::string patch = upd::publish::make_patch(old_file.string(), new_file.string(), level);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("publisher level %2d: patch %.0f KiB, %.1f s a patch%s\n", level,
                static_cast<double>(patch.size()) / 1024, seconds,
                level == upd::publish::patch_level ? " (chosen)" : "");
    if (level == upd::publish::patch_level) ours = std::move(patch);
  }
  const auto start = std::chrono::steady_clock::now();
  upd::publish::make_patch((dir / "v0").string(), new_file.string());
  std::printf("publisher, seven days back: %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  const fs::path patch = dir / "ours.patch";
  std::ofstream(patch.string(), std::ios::binary) << ours;

  struct peer_t {
    const char* name;
    std::vector<std::string> argv;
    fs::path output;
    bool run;
  } peers[] = {
      {"xdelta3 -e -9",
       {"xdelta3", "-e", "-9", "-f", "-s", old_file.string(), new_file.string(),
        (dir / "x.vcdiff").string()},
       dir / "x.vcdiff",
       true},
      {"bsdiff",
       {"bsdiff", old_file.string(), new_file.string(), (dir / "b.bsdiff").string()},
       dir / "b.bsdiff",
       mib <= 64},
      {"zstd -19 --long=31",
       {"zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + old_file.string(),
        new_file.string(), "-o", (dir / "z.zst").string()},
       dir / "z.zst",
       mib <= 64 || all_peers},
  };
  double smallest = 0;
  for (const auto& peer : peers) {
    if (!peer.run) continue;
    const double seconds = seconds_of(peer.argv);
    std::printf("peer %-20s patch %.0f KiB, %.1f s\n", peer.name, kib(peer.output), seconds);
    if (smallest == 0 || kib(peer.output) < smallest) smallest = kib(peer.output);
  }

  fs::remove(dir / "applied");
  const measured_t applying = run_sampled(
      [&] { upd::apply_patch_file(old_file, patch, dir / "applied", fs::file_size(new_file)); });
  if (upd::file_sha256(dir / "applied") != expected)
    std::fprintf(stderr, "the patch made other bytes\n"), std::exit(1);
  fs::remove(dir / "unpacked");
  const measured_t unpacking = run_sampled(
      [&] { upd::unpack_lzma_file(packed, dir / "unpacked", fs::file_size(new_file)); });
  const double xdelta = seconds_of({"xdelta3", "-d", "-f", "-s", old_file.string(),
                                    (dir / "x.vcdiff").string(), (dir / "xd.out").string()});
  const long idle = run_sampled([] {}).peak_anon_kib;
  std::printf(
      "applying %.2f s (RssAnon peak %ld KiB, idle child %ld KiB), unpacking .lzma %.2f s, xdelta3 "
      "-d %.2f s\n",
      applying.seconds, applying.peak_anon_kib, idle, unpacking.seconds, xdelta);
  std::printf(
      "ratios: patch/packed %.2f%% (goal <= 2%%), patch/smallest peer %.2f (goal <= 1.1), "
      "applying/unpacking %.2f (goal <= 0.5), applying/xdelta3 -d %.2f (goal <= 1), "
      "RssAnon %ld KiB (goal <= 32768)\n",
      100 * static_cast<double>(ours.size()) / 1024 / kib(packed),
      static_cast<double>(ours.size()) / 1024 / smallest, applying.seconds / unpacking.seconds,
      applying.seconds / xdelta, applying.peak_anon_kib);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  bool all_peers = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--all-peers")) {
      all_peers = true;
      continue;
    }
    std::istringstream list(argv[i]);
    for (std::string size; std::getline(list, size, ',');) sizes.push_back(std::stoull(size));
  }
  if (sizes.empty()) sizes = {64, 256};
  const fs::path dir = fs::temp_directory_path() / fs::unique_path("delta-bench-%%%%-%%%%");
  for (const auto mib : sizes) {
    fs::create_directories(dir);
    bench_size(dir, mib, all_peers);
    fs::remove_all(dir);
  }
  return 0;
}
