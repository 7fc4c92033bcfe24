// The three loggers: standard error, syslog and an appended file.
#pragma once

#include <string>

#include "common/log.h"

namespace upd {

// "Level: text" lines on descriptor 2. A failed write throws ("write").
class cf_console_log_t : public cf_log_t {
 public:
  void open() override {}
  void log(int level, const std::string& text) override;
  void log_tagged(const std::string& tag, int number, const std::string& text) override;
  void log_no_memory() override;
};

// syslog(3) at the priority of each level; the level name is not written.
class cf_syslog_log_t : public cf_log_t {
 public:
  // ident may be null: syslog then uses the program name.
  cf_syslog_log_t(const char* ident, unsigned facility);
  ~cf_syslog_log_t() override;
  cf_syslog_log_t(const cf_syslog_log_t&) = delete;
  cf_syslog_log_t& operator=(const cf_syslog_log_t&) = delete;

  void open() override;
  void log(int level, const std::string& text) override;
  void log_tagged(const std::string& tag, int number, const std::string& text) override;
  void log_no_memory() override;

  static int priority(int level);

 private:
  unsigned facility_;
  char* ident_;  // owned copy: openlog keeps the pointer
};

// "2013-Jul-05 09:41:07 [pid] Level: text" lines. A failed write loses the
// rest of that line only.
class cf_file_log_t : public cf_log_t {
 public:
  cf_file_log_t(int fd, bool owns_fd);
  ~cf_file_log_t() override;
  cf_file_log_t(const cf_file_log_t&) = delete;
  cf_file_log_t& operator=(const cf_file_log_t&) = delete;

  void open() override {}
  void log(int level, const std::string& text) override;
  void log_tagged(const std::string& tag, int number, const std::string& text) override;
  void log_no_memory() override;

 private:
  void write_line(const std::string& line);

  int fd_;
  bool owns_fd_;
  int pid_;
};

// Local time as "%Y-%b-%d %H:%M:%S" in the POSIX locale.
std::string log_timestamp();

}  // namespace upd
