// Fixtures shared by the tests: a temporary directory, a connected socket
// pair, file helpers and a capture of the process-wide log.
#pragma once

#include <boost/filesystem/path.hpp>
#include <memory>
#include <string>
#include <vector>

namespace upd::testing {

// A fresh directory under $TMPDIR, removed with everything in it.
class temp_dir_t {
 public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;
  const boost::filesystem::path& path() const { return path_; }
  boost::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  boost::filesystem::path path_;
};

// A connected AF_UNIX stream pair; both ends are closed on destruction
// unless released.
struct socket_pair_t {
  socket_pair_t();
  ~socket_pair_t();
  socket_pair_t(const socket_pair_t&) = delete;
  socket_pair_t& operator=(const socket_pair_t&) = delete;
  int release(int index);
  int fd[2];
};

std::string read_file(const boost::filesystem::path& path);
void write_file(const boost::filesystem::path& path, const std::string& bytes);

// While one lives, every log line of the process (any thread) is kept as
// "Level: text" at the threshold given (Debug by default); the previous
// threshold and a console logger come back after it.
class captured_log_t {
 public:
  explicit captured_log_t(int level = 0);
  ~captured_log_t();
  captured_log_t(const captured_log_t&) = delete;
  captured_log_t& operator=(const captured_log_t&) = delete;
  std::vector<std::string> lines() const;
  // Whether a line begins with prefix; all lines as one text, for messages.
  bool has(const std::string& prefix) const;
  std::string all() const;

 private:
  struct sink_t;
  std::shared_ptr<sink_t> sink_;
  int saved_level_;
};

}  // namespace upd::testing
