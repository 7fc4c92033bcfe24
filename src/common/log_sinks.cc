#include "common/log_sinks.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/fd_io.h"

namespace upd {

namespace {
constexpr char no_memory_line[] = "Error: Not enough memory\n";

void write_no_memory_line() {
  [[maybe_unused]] auto ignored = ::write(2, no_memory_line, sizeof no_memory_line - 1);
}

std::string tagged_text(const std::string& tag, int number, const std::string& text) {
  return tag + "-" + std::to_string(number) + ": " + text;
}
}  // namespace

void cf_console_log_t::log(int level, const std::string& text) {
  std::string line = std::string(level_name(level)) + ": " + text + "\n";
  std::lock_guard lock(mutex_);
  write_all(2, line.data(), line.size());
}

void cf_console_log_t::log_tagged(const std::string& tag, int number, const std::string& text) {
  std::string line = tagged_text(tag, number, text) + "\n";
  std::lock_guard lock(mutex_);
  write_all(2, line.data(), line.size());
}

void cf_console_log_t::log_no_memory() { write_no_memory_line(); }

cf_syslog_log_t::cf_syslog_log_t(const char* ident, unsigned facility)
    : facility_(facility), ident_(ident ? ::strdup(ident) : nullptr) {}

cf_syslog_log_t::~cf_syslog_log_t() {
  std::free(ident_);
  ::closelog();
}

void cf_syslog_log_t::open() { ::openlog(ident_, LOG_PID, static_cast<int>(facility_)); }

int cf_syslog_log_t::priority(int level) {
  switch (level) {
    case log_debug: return LOG_DEBUG;
    case log_info: return LOG_INFO;
    case log_notice: return LOG_NOTICE;
    case log_warning: return LOG_WARNING;
    default: return LOG_ERR;
  }
}

void cf_syslog_log_t::log(int level, const std::string& text) {
  ::syslog(priority(level), "%s", text.c_str());
}

void cf_syslog_log_t::log_tagged(const std::string& tag, int number, const std::string& text) {
  ::syslog(LOG_ERR, "%s", tagged_text(tag, number, text).c_str());
}

void cf_syslog_log_t::log_no_memory() { ::syslog(LOG_ERR, "Error: Not enough memory"); }

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd) : fd_(fd), owns_fd_(owns_fd), pid_(::getpid()) {}

cf_file_log_t::~cf_file_log_t() {
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

void cf_file_log_t::log(int level, const std::string& text) {
  write_line(log_timestamp() + " [" + std::to_string(pid_) + "] " + level_name(level) + ": " +
             text + "\n");
}

void cf_file_log_t::log_tagged(const std::string& tag, int number, const std::string& text) {
  write_line(log_timestamp() + " [" + tag + "-" + std::to_string(number) + "] " + text + "\n");
}

void cf_file_log_t::log_no_memory() { write_no_memory_line(); }

void cf_file_log_t::write_line(const std::string& line) {
  std::lock_guard lock(mutex_);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    // A full disk or a closed descriptor costs this line, not the process.
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string log_timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%b-%d %H:%M:%S", &local);
  return std::string(text, n);
}

}  // namespace upd
