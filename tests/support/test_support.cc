#include "support/test_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include "common/log.h"
#include "common/log_sinks.h"

namespace upd::testing {

namespace fs = boost::filesystem;

temp_dir_t::temp_dir_t() : path_(fs::temp_directory_path() / fs::unique_path("nimbo-test-%%%%-%%%%-%%%%")) {
  fs::create_directories(path_);
  // Below it the component accepts only directories that nobody else can change.
  fs::permissions(path_, fs::perms::owner_all);
}

temp_dir_t::~temp_dir_t() {
  boost::system::error_code ignored;
  fs::remove_all(path_, ignored);
}

socket_pair_t::socket_pair_t() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0) throw std::runtime_error("socketpair failed");
}

socket_pair_t::~socket_pair_t() {
  for (int f : fd)
    if (f >= 0) ::close(f);
}

int socket_pair_t::release(int index) { return std::exchange(fd[index], -1); }

std::string read_file(const fs::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

struct captured_log_t::sink_t : cf_log_t {
  void open() override {}
  void log(int level, const std::string& text) override { add(std::string(level_name(level)) + ": " + text); }
  void log_tagged(const std::string& tag, int number, const std::string& text) override {
    add(tag + "-" + std::to_string(number) + ": " + text);
  }
  void log_no_memory() override { add("Error: Not enough memory"); }
  void add(std::string line) {
    std::lock_guard lock(mutex);
    lines.push_back(std::move(line));
  }
  mutable std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
};

captured_log_t::captured_log_t(int level) : sink_(std::make_shared<sink_t>()), saved_level_(cf_log_t::level_) {
  cf_log_t::level_ = level;
  cf_log_t::set_log(sink_);
}

captured_log_t::~captured_log_t() {
  cf_log_t::set_log(std::make_shared<cf_console_log_t>());
  cf_log_t::level_ = saved_level_;
}

std::vector<std::string> captured_log_t::lines() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->lines;
}

bool captured_log_t::has(const std::string& prefix) const {
  return std::ranges::any_of(lines(), [&](const std::string& line) { return line.starts_with(prefix); });
}

std::string captured_log_t::all() const {
  std::string text;
  for (const auto& line : lines()) text += line + "\n";
  return text;
}

}  // namespace upd::testing
