// A cold update of one zone (2,000 files, 256 MiB: half random bytes, half
// base64 text) from nginx on loopback, as nimbo-publish makes the repository
// (a packed form only where it saves bytes), measured against references
// timed in the same run:
//  - the decode floor: one thread unpacking, in-process with liblzma, the
//    LZMA-alone form (preset 6) of every file, shipped or not;
//  - the same update from a copy of the repository with every file packed;
//  - the update over a link shaped to 100 Mbit/s, against the longer of the
//    published bytes at that rate and the unpacking of the shipped forms;
//  - a shell loop doing the same work one file after another with curl, xz
//    and sha256sum;
// then a run after installation and a warm run where nothing changed.
// Prints times, ratios with their targets, and peak memory.
//
//   build/bin/update_bench [FILES] [TOTAL_MIB]
#include <sys/resource.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "component_run.h"
#include "lzma_decode.h"
#include "support/child_process.h"
#include "support/fake_monitor.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using namespace upd::testing;
using clock_type = std::chrono::steady_clock;

// About 100 Mbit/s, in bytes per second.
constexpr double shaped_rate = 12.5e6;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Half the files (the odd ones) are random bytes, half base64 text of random bytes.
std::vector<std::string> make_source(const fs::path& dir, int files, std::size_t total) {
  fs::create_directories(dir);
  std::mt19937_64 random(42);
  const std::size_t each = total / static_cast<std::size_t>(files);
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    std::string bytes(each, '\0');
    for (auto& c : bytes) {
      const auto r = random();
      c = (i % 2) ? static_cast<char>(r) : alphabet[r % 64];
    }
    names.push_back("file" + std::to_string(i) + ".dat");
    std::ofstream(dir / names.back(), std::ios::binary) << bytes;
  }
  return names;
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
  // The cache keeps no digest of a file changed in the current second (it
  // could change again unseen); a real next run comes minutes later.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return run;
}

double time_shell(const std::string& script, const fs::path& output) {
  const auto start = clock_type::now();
  if (!run_program({"bash", "-c", script}, output)) {
    std::fprintf(stderr, "script failed: %s\n%s\n", script.substr(0, 200).c_str(), read_file(output).c_str());
    std::exit(1);
  }
  return seconds_since(start);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += " " + name;
  return text;
}

// "for f in NAMES; do xz ... done": the LZMA-alone form, preset 6, of each named file of from, into to.
std::string packing_loop(const std::vector<std::string>& names, const fs::path& from, const fs::path& to) {
  return "cd " + from.string() + " && for f in" + joined(names) + "; do xz --format=lzma -6 -T1 -c $f > " +
         to.string() + "/$f.lzma; done";
}


}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::size_t total = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256) << 20;
  temp_dir_t dir;
  const fs::path source = dir / "source", www = dir / "www", bases = www / "bases", packed = www / "packed",
                 forms = dir / "forms", reference = dir / "reference";
  for (const auto& d : {www, packed, forms, reference}) fs::create_directories(d);

  std::printf("preparing %d files, %zu MiB ...\n", files, total >> 20);
  const auto preparing = clock_type::now();
  const std::vector<std::string> names = make_source(source, files, total);
  // The random half will go plain: their packed forms, which the floor and
  // the all-packed copy need, are made meanwhile on the other core.
  std::vector<std::string> random_half;
  for (std::size_t i = 1; i < names.size(); i += 2) random_half.push_back(names[i]);
  time_shell("set -e; (" + packing_loop(random_half, source, forms) + ") & packing=$!; " NIMBO_BINARY_DIR
             "/bin/nimbo-publish list --key " NIMBO_SOURCE_DIR "/keys/dev.key --source " + source.string() +
                 " --out " + bases.string() + "; wait $packing",
             dir / "publish.out");

  // The floor, the bytes a client fetches, and the all-packed copy, whose
  // clients ask for every packed form as they do without an index.
  for (const auto& entry : fs::directory_iterator(bases))
    if (entry.path().filename() != "version.lst.packed")
      fs::create_hard_link(entry.path(), packed / entry.path().filename());
  double floor = 0, shipped_decode = 0;
  std::uintmax_t published_bytes = fs::file_size(bases / "version.lst"), shipped = 0;
  for (const auto& name : names) {
    const fs::path published = bases / (name + ".lzma"), made = forms / (name + ".lzma");
    const bool ships = fs::exists(published);
    if (!ships && !fs::exists(made)) time_shell(packing_loop({name}, source, forms), dir / "pack.out");
    if (!ships) fs::create_hard_link(made, packed / (name + ".lzma"));
    const double seconds = upd::bench::lzma_decode_seconds(ships ? published : made);
    floor += seconds;
    shipped_decode += ships ? seconds : 0;
    shipped += ships;
    published_bytes += fs::file_size(ships ? published : source / name);
  }

  std::printf("prepared in %.0f s\n", seconds_since(preparing));
  // nginx paces each response alone: a rate per response is the link's
  // rate only for one transfer at a time, so the shaped run has one connection.
  nginx_server_t nginx(www), shaped(www, static_cast<std::uint64_t>(shaped_rate));
  const std::string base = nginx.http_url("bases/");
  const nb::UpdateConfig config = upd::bench::client_config(dir / "client", base);
  const run_t cold = update_once(config);
  const run_t rehash = update_once(config);  // installed files are new to the cache
  const run_t warm = update_once(config);
  const run_t all_packed = update_once(upd::bench::client_config(dir / "packed-client", nginx.http_url("packed/")));
  nb::UpdateConfig one_connection = upd::bench::client_config(dir / "shaped-client", shaped.http_url("bases/"));
  one_connection.set_connections_per_server(1);
  const run_t slow_link = update_once(one_connection);

  // The reference: the same files fetched, unpacked and hashed one by one,
  // the plain file where no packed form is offered.
  const double shell = time_shell(
      "set -e; cd " + reference.string() + "; curl -sf -o version.lst " + base + "version.lst; for f in" +
          joined(names) + "; do if curl -sf -o $f.lzma " + base + "$f.lzma; then xz -dc --format=lzma $f.lzma > $f; " +
          "else curl -sf -o $f " + base + "$f; fi; sha256sum $f > /dev/null; done",
      dir / "reference.out");

  const double link_time = static_cast<double>(published_bytes) / shaped_rate,
               link_bound = std::max(link_time, shipped_decode);
  std::printf("decode floor, one thread, liblzma in-process, all %zu files' forms (preset 6): %8.2f s\n",
              names.size(), floor);
  std::printf("cold update as published (%zu of %zu packed), %d placed: %8.2f s  -> / floor = %.2f (target <= 0.8)\n",
              shipped, names.size(), cold.placed, cold.seconds, cold.seconds / floor);
  std::printf("cold update, every file packed:                    %8.2f s  -> / floor = %.2f\n", all_packed.seconds,
              all_packed.seconds / floor);
  std::printf("shaped link %.0f Mbit/s: %.1f MiB published -> %.2f s at that rate; the shipped forms' floor %.2f s\n",
              shaped_rate * 8 / 1e6, static_cast<double>(published_bytes) / (1 << 20), link_time, shipped_decode);
  std::printf("cold update over the shaped link:                  %8.2f s  -> / max(the two) = %.2f (target <= 1.15)\n",
              slow_link.seconds, slow_link.seconds / link_bound);
  std::printf("curl + xz + sha256sum, file by file:               %8.2f s  -> nimbo-update is %.2fx as fast "
              "(target >= 1.2)\n",
              shell, shell / cold.seconds);
  std::printf("peak RSS of nimbo-update, cold run:                %8.1f MiB (target < 16 MiB + the LZMA dictionaries "
              "in use at once)\n",
              cold.peak_kib / 1024.0);
  std::printf("run after installation (hashes %u bytes):  %8.2f s\n", rehash.bytes_checked, rehash.seconds);
  std::printf("warm run, nothing changed:                         %8.3f s  = %.2f%% of the cold run (target < 2%%), "
              "%u bytes hashed\n",
              warm.seconds, 100 * warm.seconds / cold.seconds, warm.bytes_checked);
}
