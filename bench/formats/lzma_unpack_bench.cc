// Throughput and peak memory of unpack_lzma_file on one large ".lzma" file,
// against "xz -dc --format=lzma" of the same file, both in child processes
// writing the unpacked bytes to a file in the same directory.
//
//   build/bin/lzma_unpack_bench [size-MiB=200] [xz-preset=6] [rounds=3]
#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "bench_child.h"
#include "formats/file_sha256.h"
#include "formats/lzma_file.h"

namespace {

namespace fs = boost::filesystem;
using upd::bench::child_result_t;
using upd::bench::run_child;

// Log-like text with numbers and repeated names: compresses about the way
// signature databases do, neither trivially nor not at all.
void write_sample(const fs::path& path, std::uint64_t size) {
  static const char* const names[] = {"Trojan.Generic", "Worm.Mydoom", "Adware.Agent",
                                      "Backdoor.Bot", "Exploit.PDF", "Packed.UPX"};
  std::mt19937_64 random(42);
  std::ofstream out(path.string(), std::ios::binary);
  std::string line;
  for (std::uint64_t written = 0; written < size; written += line.size()) {
    line = names[random() % std::size(names)];
    line += '.' + std::to_string(random() % 100000) + ':';
    for (int i = 0; i < 24; ++i) line += "0123456789abcdef"[random() % 16];
    line += ':' + std::to_string(random() % 4096) + '\n';
    if (written + line.size() > size) line.resize(size - written);
    out << line;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200) << 20;
  const std::string preset = "-" + std::string(argc > 2 ? argv[2] : "6");
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;

  const fs::path dir = fs::temp_directory_path() / fs::unique_path("lzma-bench-%%%%-%%%%");
  fs::create_directories(dir);
  const fs::path plain = dir / "sample", packed = dir / "sample.lzma";
  const fs::path ours = dir / "ours.out", peer = dir / "xz.out";
  std::printf("making %llu MiB of sample data, xz %s --format=lzma ...\n",
              static_cast<unsigned long long>(size >> 20), preset.c_str());
  write_sample(plain, size);
  run_child(nullptr, {"xz", "--format=lzma", preset, "-T1", "-c", plain.string()}, packed.string());
  const std::string expected = upd::file_sha256(plain);
  fs::remove(plain);

  child_result_t best_ours{1e9, 0}, best_peer{1e9, 0};
  for (int round = 0; round < rounds; ++round) {
    fs::remove(peer);
    child_result_t p = run_child(nullptr, {"xz", "-dc", "--format=lzma", packed.string()},
                                 peer.string());
    fs::remove(ours);
    child_result_t o = run_child([&] {
      upd::unpack_lzma_file(packed, ours, size);
      return 0;
    });
    if (upd::file_sha256(ours) != expected || upd::file_sha256(peer) != expected) {
      std::fprintf(stderr, "unpacked data differs from the sample\n");
      return 1;
    }
    std::printf("round %d: ours %.3f s, xz %.3f s\n", round + 1, o.seconds, p.seconds);
    if (o.seconds < best_ours.seconds) best_ours = o;
    if (p.seconds < best_peer.seconds) best_peer = p;
  }

  // The header's dictionary size, what the decoder may allocate beside its
  // two 64 KiB buffers (and its probability tables).
  std::ifstream header(packed.string(), std::ios::binary);
  unsigned char props[5] = {};
  header.read(reinterpret_cast<char*>(props), 5);
  const std::uint32_t dictionary = props[1] | props[2] << 8 | props[3] << 16 |
                                   static_cast<std::uint32_t>(props[4]) << 24;
  const double mib = static_cast<double>(size) / (1 << 20);
  std::printf("compressed %.1f MiB -> %.1f MiB, dictionary %u KiB\n",
              static_cast<double>(fs::file_size(packed)) / (1 << 20), mib, dictionary >> 10);
  const long baseline = run_child([] { return 0; }).peak_rss_kib;
  std::printf("ours: %.1f MiB/s, peak RSS %ld KiB (%ld KiB over a child that does nothing;"
              " bound: dictionary + 2 x 64 KiB + probability tables)\n",
              mib / best_ours.seconds, best_ours.peak_rss_kib, best_ours.peak_rss_kib - baseline);
  std::printf("xz:   %.1f MiB/s, peak RSS %ld KiB\n", mib / best_peer.seconds,
              best_peer.peak_rss_kib);
  std::printf("throughput ratio ours/xz: %.3f (goal >= 0.95)\n",
              best_peer.seconds / best_ours.seconds);
  fs::remove_all(dir);
  return 0;
}
