// The disk space an update takes at its peak: one large file, first base64
// text (its packed form is shipped, so the component holds packed and
// unpacked bytes), then random bytes (shipped plain). A thread adds up the
// blocks allocated to the files under the update folder every 2 ms while the
// component runs; prints the peak over the file's listed size.
//
//   build/bin/disk_peak_bench [MIB, default 300]
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "component_run.h"
#include "formats/file_sha256.h"
#include "formats/signature.h"
#include "keyfile/signer.h"
#include "support/child_process.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace {

namespace fs = boost::filesystem;
using namespace upd::testing;

void write_sample(const fs::path& path, std::uint64_t size, bool text) {
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937_64 random(7);
  std::ofstream out(path.string(), std::ios::binary);
  std::string chunk(1 << 20, '\0');
  for (std::uint64_t written = 0; written < size; written += chunk.size()) {
    chunk.resize(std::min<std::uint64_t>(chunk.size(), size - written));
    for (auto& c : chunk) c = text ? alphabet[random() % 64] : static_cast<char>(random());
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  }
}

// A repository of the one file, signed with the development key. The packed
// form is made at preset 0: preset 6 would take minutes for a file this size
// here, and only the form's size matters to the peak.
void publish(const fs::path& file, const fs::path& out, bool packed) {
  const std::string name = file.filename().string();
  fs::create_directories(out);
  fs::copy_file(file, out / name);
  if (packed && !run_program({"bash", "-c", "xz --format=lzma -0 -T1 -c " + file.string() + " > " +
                                                 (out / (name + ".lzma")).string()},
                             out.parent_path() / "xz.out"))
    std::exit(1);
  const std::string signed_part = "[NimboUpdateList]\r\n[1]\r\n+" + name + ", " + upd::bytes_to_hex(upd::file_sha256(file)) + ", " +
                                  std::to_string(fs::file_size(file)) + "\r\n[NimboUpdateListEnd]\r\n";
  const upd::key_file_t key = upd::read_key_file(NIMBO_SOURCE_DIR "/keys/dev.key");
  write_file(out / "version.lst",
             signed_part + "\r\n[Signature]\r\nSignature=" + upd::sign_text(key, signed_part) + "\r\n");
}

// Bytes allocated to the regular files under dir; files that come and go
// while it looks are counted when seen.
std::uintmax_t allocated(const fs::path& dir) {
  std::uintmax_t bytes = 0;
  boost::system::error_code error;
  for (fs::recursive_directory_iterator at(dir, error), end; !error && at != end; at.increment(error)) {
    struct stat status;
    if (::lstat(at->path().c_str(), &status) == 0 && S_ISREG(status.st_mode))
      bytes += static_cast<std::uintmax_t>(status.st_blocks) * 512;
  }
  return bytes;
}

// The peak of allocated(update dir) during one update of the file.
std::uintmax_t peak_during_update(const fs::path& dir, const std::string& url) {
  const nb::UpdateConfig config = upd::bench::client_config(dir, url);
  std::atomic<bool> done{false};
  std::uintmax_t peak = 0;
  std::thread poller([&] {
    while (!done) {
      peak = std::max(peak, allocated(dir / "update"));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto run =
      upd::bench::run_component(config);
  done = true;
  poller.join();
  if (!run.request) std::exit(1);
  return std::max(peak, allocated(dir / "update"));
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300) << 20;
  temp_dir_t dir;
  nginx_server_t nginx(dir / "www");
  for (const bool text : {true, false}) {
    const std::string kind = text ? "text" : "random";
    const fs::path file = dir / kind / "big.vdb", www = dir / "www" / kind;
    fs::create_directories(file.parent_path());
    std::printf("publishing %llu MiB of %s ...\n", static_cast<unsigned long long>(size >> 20), kind.c_str());
    write_sample(file, size, text);
    publish(file, www, text);
    const std::uintmax_t peak = peak_during_update(dir / (kind + "-client"), nginx.http_url(kind + "/"));
    if (text)
      std::printf("its packed form is %.2f of its size\n",
                  static_cast<double>(fs::file_size(www / "big.vdb.lzma")) / static_cast<double>(size));
    std::printf("%-6s file: peak disk use of the update / listed size = %.3f (target < 1.15)\n", kind.c_str(),
                static_cast<double>(peak) / static_cast<double>(size));
    fs::remove_all(dir / kind);
    fs::remove_all(www);
    fs::remove_all(dir / (kind + "-client"));
  }
}
