// A file fetched over a link that breaks: a relay in front of nginx on
// loopback cuts every connection after a fixed number of answer bytes.
// nimbo-update runs until its attempt succeeds; the peer is curl with
// --continue-at - in a retry loop. Prints the bytes each received (counted
// at the relay) over the file's size, and their ratio.
//
//   build/bin/resume_bench [FILE_MIB, default 256] [CUT_MIB, default 16]
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "component_run.h"
#include "support/child_process.h"
#include "support/fault_proxy.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using namespace upd::testing;
using upd::bench::run_tool;

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256) << 20;
  const std::uint64_t cut = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 16) << 20;
  constexpr int most_tries = 100;
  temp_dir_t dir;
  const fs::path source = dir / "source", www = dir / "www", update = dir / "update", local = dir / "local";
  for (const auto& d : {source, www, update, local}) fs::create_directories(d);

  std::printf("publishing %llu MiB ...\n", static_cast<unsigned long long>(size >> 20));
  // Random bytes of a prime period: LZMA packs them fast, and the packed
  // form is removed so that the plain bytes travel.
  std::mt19937 random(5);
  std::string period(4093, '\0');
  for (auto& c : period) c = static_cast<char>(random());
  {
    std::ofstream out((source / "big.vdb").string(), std::ios::binary);
    for (std::uint64_t written = 0; written < size; written += period.size())
      out.write(period.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(period.size(), size - written)));
  }
  const std::string publish = NIMBO_BINARY_DIR "/bin/nimbo-publish", key = NIMBO_SOURCE_DIR "/keys/dev.key";
  if (!run_tool({publish, "list", "--key", key, "--source", source.string(), "--out", (www / "bases").string()},
                dir / "publish.out"))
    return 1;
  fs::remove(www / "bases" / "big.vdb.lzma");
  nginx_server_t nginx(www);

  fault_proxy_t ours_link(nginx.http_port(), cut);
  if (!run_tool({publish, "drl", "--key", key, "--out", (dir / "base.drl").string(), ours_link.url("bases/")},
                dir / "drl.out"))
    return 1;
  const nb::UpdateConfig config = upd::bench::base_zone_config(update, dir / "base.drl", local);
  int runs = 1;
  while (!upd::bench::run_component(config).request && runs < most_tries) ++runs;

  fault_proxy_t curl_link(nginx.http_port(), cut);
  const std::string loop = "for i in $(seq " + std::to_string(most_tries) + "); do curl -s -f -C - -o " +
                           (dir / "curl.out").string() + " " + curl_link.url("bases/big.vdb") +
                           " && echo $i && exit 0; done; exit 1";
  if (!run_tool({"bash", "-c", loop}, dir / "tries")) return 1;
  const bool same = read_file(dir / "curl.out") == read_file(source / "big.vdb");

  const double ours = static_cast<double>(ours_link.passed()) / static_cast<double>(size);
  const double curl = static_cast<double>(curl_link.passed()) / static_cast<double>(size);
  std::printf("a %llu MiB file over a link cut every %llu MiB; bytes received / file size:\n",
              static_cast<unsigned long long>(size >> 20), static_cast<unsigned long long>(cut >> 20));
  std::printf("nimbo-update, %d run(s):                 %6.3f\n", runs, ours);
  std::printf("curl --continue-at - in a loop, %s tries: %6.3f%s -> nimbo-update / curl = %.3f\n",
              read_file(dir / "tries").substr(0, read_file(dir / "tries").find('\n')).c_str(), curl,
              same ? "" : " (WRONG FILE)", ours / curl);
}
