// What a fleet pays to learn that nothing changed: the bytes one unchanged
// run of a 2,000-file zone receives (heads included, counted by a relay in
// front of nginx), with the list and its signature file fetched whole, as a
// run without a kept copy does, and asked for conditionally, against curl
// fetching the two files whole in the same run.
//
//   build/bin/unchanged_run_bench [FILES]
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "component_run.h"
#include "support/child_process.h"
#include "support/fault_proxy.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
  namespace fs = boost::filesystem;
  using namespace upd::testing;
  using upd::bench::run_tool;
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  temp_dir_t dir;
  const fs::path local = dir / "local", update = dir / "update", www = dir / "www";
  for (const auto& d : {local, update, www}) fs::create_directories(d);
  // The machine holds every file already: a run fetches the lists alone.
  for (int i = 0; i < files; ++i)
    write_file(local / ("file" + std::to_string(i) + ".vdb"), std::to_string(i));
  const std::string publish = NIMBO_BINARY_DIR "/bin/nimbo-publish",
                    key = NIMBO_SOURCE_DIR "/keys/dev.key";
  if (!run_tool({publish, "list", "--key", key, "--source", local.string(), "--out",
                 (www / "bases").string(), "--sign-key", NIMBO_SOURCE_DIR "/keys/dev-ed25519.pem",
                 "--expires", "7d", "--zone", "BASE"},
                dir / "publish.out"))
    return 1;
  // Published an hour ago: validators of an answer given in the second a
  // list changed are not kept.
  for (const auto& entry : fs::directory_iterator(www / "bases"))
    fs::last_write_time(entry.path(), std::time(nullptr) - 3600);
  nginx_server_t nginx(www);
  fault_proxy_t link(nginx.http_port(), 0);
  if (!run_tool(
          {publish, "drl", "--key", key, "--out", (dir / "base.drl").string(), link.url("bases/")},
          dir / "drl.out"))
    return 1;
  const nb::UpdateConfig config = upd::bench::base_zone_config(update, dir / "base.drl", local);
  if (!upd::bench::run_component(config).request) return 1;
  const std::uint64_t whole = link.passed();
  if (!upd::bench::run_component(config).request) return 1;
  const std::uint64_t conditional = link.passed() - whole;

  fault_proxy_t curl_link(nginx.http_port(), 0);
  if (!run_tool({"curl", "-sf", "-o", (dir / "list").string(), curl_link.url("bases/version.lst"),
                 "-o", (dir / "sig").string(), curl_link.url("bases/version.lst.sig")},
                dir / "curl.out"))
    return 1;
  std::printf("unchanged run of a %d-file zone (list %llu bytes), bytes received:\n", files,
              static_cast<unsigned long long>(fs::file_size(www / "bases" / "version.lst")));
  std::printf("curl, list and signature whole:        %8llu\n",
              static_cast<unsigned long long>(curl_link.passed()));
  std::printf("nimbo-update, no kept copy (as before): %8llu  -> / curl = %.3f\n",
              static_cast<unsigned long long>(whole), double(whole) / double(curl_link.passed()));
  std::printf(
      "nimbo-update, asked conditionally:     %8llu  -> / curl = %.4f (target <= 1024 bytes)\n",
      static_cast<unsigned long long>(conditional),
      double(conditional) / double(curl_link.passed()));
}
