#include "update/hostile_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"

namespace upd::testing {

namespace fs = boost::filesystem;

SSL_CTX* HostileServerTest::tls_context_ = nullptr;
temp_dir_t* HostileServerTest::tls_dir_ = nullptr;

namespace {

struct table_row_t {
  std::string scenario;
  std::optional<int> exit_status;
  long elapsed_ms;
  long peak_kib;
  std::uint64_t peak_bytes, final_bytes;
};

std::vector<table_row_t>& table() {
  static std::vector<table_row_t> rows;
  return rows;
}

void print_table() {
  if (table().empty()) return;
  std::printf("\n%-46s %6s %8s %10s %12s %12s\n", "scenario", "exit", "time ms", "peak KiB",
              "peak bytes", "final bytes");
  for (const auto& row : table())
    std::printf("%-46s %6s %8ld %10ld %12llu %12llu\n", row.scenario.c_str(),
                row.exit_status ? std::to_string(*row.exit_status).c_str() : "hung", row.elapsed_ms,
                row.peak_kib, static_cast<unsigned long long>(row.peak_bytes),
                static_cast<unsigned long long>(row.final_bytes));
  table().clear();
}

std::uint64_t bytes_under(const fs::path& dir) {
  // Files come and go while the component runs: a vanished entry counts 0.
  std::uint64_t total = 0;
  boost::system::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    boost::system::error_code size_error;
    const auto size = fs::file_size(it->path(), size_error);
    if (!size_error) total += size;
  }
  return total;
}

// The peak resident size (VmHWM, KiB) of the process, 0 once it is gone.
// The child's own ru_maxrss would not do: it starts from the test
// process's size, which the spawn shares until the exec.
long peak_resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return 0;
}

// Our child running nimbo-update, or 0.
pid_t component_child() {
  boost::system::error_code error;
  for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
    std::ifstream stat(it->path() / "stat");
    std::string text;
    std::getline(stat, text);
    // "pid (comm) state ppid ...": comm may hold blanks, so from the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos || text.find("(nimbo-update)") == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    char state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == ::getpid()) return static_cast<pid_t>(std::stol(it->path().filename().string()));
  }
  return 0;
}

// Samples the bytes under a folder and the component's peak resident size
// until stopped, keeping the largest of each.
class run_watch_t {
 public:
  explicit run_watch_t(fs::path dir)
      : dir_(std::move(dir)), thread_([this] {
          pid_t child = 0;
          while (!stop_) {
            peak_bytes_ = std::max<std::uint64_t>(peak_bytes_, bytes_under(dir_));
            if (!child) child = component_child();
            if (child) peak_kib_ = std::max(peak_kib_.load(), peak_resident_kib(child));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~run_watch_t() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::uint64_t peak_bytes() const { return peak_bytes_; }
  long peak_kib() const { return peak_kib_; }

 private:
  fs::path dir_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> peak_bytes_{0};
  std::atomic<long> peak_kib_{0};
  std::thread thread_;
};

}  // namespace

void HostileServerTest::SetUpTestSuite() {
  UpdateRunTest::SetUpTestSuite();
  if (find_program("openssl").empty()) return;
  tls_dir_ = new temp_dir_t;
  const fs::path key = tls_dir_->path() / "key.pem", cert = tls_dir_->path() / "cert.pem";
  if (!run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-days", "1", "-keyout", key.string(), "-out", cert.string()},
                   tls_dir_->path() / "openssl.out"))
    return;
  tls_context_ = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_file(tls_context_, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_context_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(tls_context_);
    tls_context_ = nullptr;
  }
}

void HostileServerTest::TearDownTestSuite() {
  print_table();
  SSL_CTX_free(tls_context_);
  tls_context_ = nullptr;
  delete tls_dir_;
  tls_dir_ = nullptr;
  UpdateRunTest::TearDownTestSuite();
}

std::string HostileServerTest::prepare() {
  set_source({{"a.vdb", std::string(30000, 'a')}, {"c.vdb", "c content"}});
  publish();
  write_file(local_ / "a.vdb", "old a");
  return read_file(served_root_->path() / id_ / "version.lst");
}

nb::UpdateConfig HostileServerTest::hostile_config() const {
  nb::UpdateConfig c = config();
  c.set_network_timeout(timeout_ms);
  return c;
}

measured_run_t HostileServerTest::measured_run(const std::string& scenario, const nb::UpdateConfig& config) {
  const auto local_before = tree(local_);
  const std::string drl_before = read_file(drl_);
  measured_run_t measured;
  run_watch_t watch(update_);
  const auto start = std::chrono::steady_clock::now();
  measured.run = run(config);
  measured.elapsed_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  watch.stop();
  measured.peak_kib = watch.peak_kib();
  measured.final_update_bytes = tree_bytes(update_);
  measured.peak_update_bytes = std::max(watch.peak_bytes(), measured.final_update_bytes);
  table().push_back({scenario, measured.run.exit_status, measured.elapsed_ms, measured.peak_kib,
                     measured.peak_update_bytes, measured.final_update_bytes});
  EXPECT_EQ(tree(local_), local_before) << scenario << ": the local folder changed";
  EXPECT_EQ(read_file(drl_), drl_before) << scenario << ": the DRL file changed";
  return measured;
}

std::map<std::string, std::string> HostileServerTest::tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    files[fs::relative(entry.path(), dir).string()] =
        fs::is_regular_file(entry.status()) ? read_file(entry.path()) : std::string("<dir>");
  return files;
}

std::uint64_t HostileServerTest::tree_bytes(const fs::path& dir) { return bytes_under(dir); }

tls_peer_t::tls_peer_t(SSL_CTX* context, fake_peer_t& peer) : ssl_(SSL_new(context)) {
  SSL_set_fd(ssl_, peer.fd());
}

tls_peer_t::~tls_peer_t() { SSL_free(ssl_); }

bool tls_peer_t::accept_request() {
  if (SSL_accept(ssl_) != 1) return false;
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    if (SSL_read(ssl_, &c, 1) != 1) return false;
    head += c;
  }
  return true;
}

bool has_log_line(const std::vector<std::string>& lines, const std::string& needle) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(needle) != std::string::npos; });
}

}  // namespace upd::testing
