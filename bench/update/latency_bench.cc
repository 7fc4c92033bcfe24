// A cold update over a long link: 300 files of 32 KiB (half random bytes,
// half text) published by nimbo-publish, served by nginx through a relay
// that adds 25 ms each way and a round trip to every new connection, over
// HTTP and HTTPS. Against curl fetching the same published forms (and the
// list) in the same run, over one kept connection and with
// --parallel --parallel-max 4. nimbo-publish packs only the files that
// packing makes smaller and says which in its packed-form index; a copy of
// the repository without the index, as published before there was one,
// shows what the index saves: there the component asks for NAME.lzma of the
// random half in vain before NAME. curl is handed every URL at once; a
// client that learns what to fetch from the list cannot start a file before
// the list, its signature file and the index have come, so curl making
// those three requests first, then the files, shows what the component's
// transfers cost beside curl's. Prints times, ratios with their targets and
// the connections each client opened.
//
//   build/bin/latency_bench [FILES] [ONE_WAY_MS]
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "component_run.h"
#include "latency_relay.h"
#include "support/child_process.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using namespace upd::testing;
using upd::bench::latency_relay_t;

constexpr std::size_t file_size = 32 * 1024;

// The odd files are random bytes, the even ones text of random words.
std::vector<std::string> make_source(const fs::path& dir, int files) {
  fs::create_directories(dir);
  std::mt19937_64 random(7);
  const char* const words[] = {"update ", "signature ", "zone ",   "server ",
                               "list ",   "file ",      "engine ", "base "};
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    std::string bytes;
    while (bytes.size() < file_size) {
      const auto r = random();
      bytes += (i % 2) ? std::string(1, static_cast<char>(r)) : std::string(words[r % 8]);
    }
    bytes.resize(file_size);
    names.push_back("file" + std::to_string(i) + ".dat");
    std::ofstream(dir / names.back(), std::ios::binary) << bytes;
  }
  return names;
}

struct figures_t {
  double component, without_index, curl_one, curl_four, curl_list_first;
  std::size_t component_connections, curl_one_connections, curl_four_connections;
};

// Runs curl on the URLs of a config file; -f when every answer must be a 200.
double time_curl(const std::vector<std::string>& extra, const fs::path& urls,
                 const fs::path& output, bool fail = true) {
  std::vector<std::string> command = {"curl", fail ? "-sfk" : "-sk", "--config", urls.string()};
  command.insert(command.end(), extra.begin(), extra.end());
  const auto start = std::chrono::steady_clock::now();
  if (!run_program(command, output)) {
    std::fprintf(stderr, "curl failed:\n%s\n", read_file(output).c_str());
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

figures_t measure(const std::string& scheme, std::uint16_t server_port,
                  const std::vector<std::string>& forms, std::chrono::milliseconds one_way,
                  const fs::path& dir) {
  fs::create_directories(dir / "curl");
  figures_t figures{};
  const auto update = [&](const std::string& folder, std::size_t& connections) {
    latency_relay_t relay(server_port, one_way);
    const std::string base =
        scheme + "://127.0.0.1:" + std::to_string(relay.port()) + "/" + folder + "/";
    const auto run = upd::bench::run_component(upd::bench::client_config(dir / folder, base));
    if (!run.request) std::exit(1);
    connections = relay.connections();
    return run.seconds;
  };
  figures.component = update("bases", figures.component_connections);
  std::size_t ignored = 0;
  figures.without_index = update("unindexed", ignored);
  const auto url_file = [&](const std::string& base, std::vector<std::string>::const_iterator from,
                            std::vector<std::string>::const_iterator to) {
    const fs::path urls = dir / "urls.txt";
    std::ofstream list(urls.string());
    for (; from != to; ++from)
      list << "url = \"" << base << *from << "\"\noutput = \"" << (dir / "curl" / *from).string() << "\"\n";
    return urls;
  };
  const auto curl = [&](const std::vector<std::string>& extra, std::size_t& connections) {
    latency_relay_t relay(server_port, one_way);
    const std::string base = scheme + "://127.0.0.1:" + std::to_string(relay.port()) + "/bases/";
    const double seconds = time_curl(extra, url_file(base, forms.begin(), forms.end()), dir / "curl.out");
    connections = relay.connections();
    return seconds;
  };
  figures.curl_one = curl({}, figures.curl_one_connections);
  figures.curl_four = curl({"--parallel", "--parallel-max", "4"}, figures.curl_four_connections);
  // The component's own requests: the list, its signature file and the
  // packed-form index one after the other on one connection, as a client
  // knows nothing to fetch before it has them, then the files as above.
  latency_relay_t relay(server_port, one_way);
  const std::string base = scheme + "://127.0.0.1:" + std::to_string(relay.port()) + "/bases/";
  const std::vector<std::string> first = {"version.lst", "version.lst.sig", "version.lst.packed"};
  figures.curl_list_first = time_curl({}, url_file(base, first.begin(), first.end()), dir / "curl.out", false) +
                            time_curl({"--parallel", "--parallel-max", "4"},
                                      url_file(base, forms.begin() + 1, forms.end()), dir / "curl.out");
  return figures;
}

void print(const char* scheme, const figures_t& f) {
  std::printf("%-5s component cold update:          %7.2f s, %3zu connections\n", scheme,
              f.component, f.component_connections);
  std::printf("%-5s component, no packed-form index: %6.2f s -> / curl --parallel-max 4 = %.2f\n",
              scheme, f.without_index, f.without_index / f.curl_four);
  std::printf(
      "%-5s curl, one connection:           %7.2f s, %3zu connections -> component is %.2fx as "
      "fast\n",
      scheme, f.curl_one, f.curl_one_connections, f.curl_one / f.component);
  std::printf(
      "%-5s curl --parallel --parallel-max 4: %5.2f s, %3zu connections -> component / curl = %.2f "
      "(target <= 1.0)\n",
      scheme, f.curl_four, f.curl_four_connections, f.component / f.curl_four);
  std::printf("%-5s curl, list, signature, index, then files --parallel-max 4: %5.2f s -> component / curl = %.2f\n",
              scheme, f.curl_list_first, f.component / f.curl_list_first);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 300;
  const std::chrono::milliseconds one_way(argc > 2 ? std::atoi(argv[2]) : 25);
  temp_dir_t dir;
  const fs::path source = dir / "source", www = dir / "www", bases = www / "bases";
  const std::vector<std::string> names = make_source(source, files);
  if (!run_program(
          {NIMBO_BINARY_DIR "/bin/nimbo-publish", "list", "--key", NIMBO_SOURCE_DIR "/keys/dev.key",
           "--source", source.string(), "--out", bases.string()},
          dir / "publish.out")) {
    std::fprintf(stderr, "nimbo-publish failed:\n%s\n", read_file(dir / "publish.out").c_str());
    return 1;
  }
  const fs::path unindexed = www / "unindexed";
  fs::create_directories(unindexed);
  for (const auto& entry : fs::directory_iterator(bases))
    if (entry.path().filename() != "version.lst.packed")
      fs::create_hard_link(entry.path(), unindexed / entry.path().filename());
  // What a client fetches: the list and each file's published form.
  std::vector<std::string> forms = {"version.lst"};
  std::size_t packed = 0;
  for (const auto& name : names) {
    const bool ships_packed = fs::exists(bases / (name + ".lzma"));
    packed += ships_packed;
    forms.push_back(ships_packed ? name + ".lzma" : name);
  }
  std::printf(
      "%d files of %zu KiB (%zu published packed), %lld ms each way, a round trip per new "
      "connection\n",
      files, file_size / 1024, packed, static_cast<long long>(one_way.count()));
  nginx_server_t nginx(www);
  const figures_t http = measure("http", nginx.http_port(), forms, one_way, dir / "http");
  const figures_t https = measure("https", nginx.https_port(), forms, one_way, dir / "https");
  print("HTTP", http);
  print("HTTPS", https);
}
