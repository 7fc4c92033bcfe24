#include "common/log.h"

#include <unistd.h>

#include <atomic>
#include <iostream>
#include <utility>

namespace upd {

int cf_log_t::level_ = log_notice;
std::mutex cf_log_t::mutex_;

namespace {

// The current logger. Readers take their own reference under a mutex of its
// own (never held while logging), so a logger replaced meanwhile lives until
// the calls already running in it have returned.
class current_logger_t {
 public:
  std::shared_ptr<cf_log_t> get() {
    std::lock_guard lock(mutex_);
    return logger_;
  }
  std::shared_ptr<cf_log_t> exchange(std::shared_ptr<cf_log_t> logger) {
    std::lock_guard lock(mutex_);
    return std::exchange(logger_, std::move(logger));
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<cf_log_t> logger_;  // guarded by mutex_
};

current_logger_t& current_logger() {
  static current_logger_t logger;
  return logger;
}
std::atomic<bool> installed{false};

constexpr const char* level_names[] = {"Debug", "Info", "Notice", "Warning", "Error"};
constexpr char no_memory_text[] = "Error: Not enough memory\n";

}  // namespace

const char* level_name(int level) {
  if (level < log_debug || level > log_error) return "Unknown";
  return level_names[level];
}

int level_by_name(const std::string& name) {
  for (int level = log_debug; level < log_error; ++level)
    if (name == level_names[level]) return level;
  return log_error;
}

void cf_log_t::set_log(std::shared_ptr<cf_log_t> logger) {
  std::lock_guard lock(mutex_);
  // One exchange, so that a line logged meanwhile reaches the old logger or
  // the new one, never neither. Releasing the old one before opening the new
  // one lets a syslog logger closelog() before the new one calls openlog().
  current_logger().exchange(logger).reset();
  if (logger) logger->open();
  installed = true;
}

void log_message(int level, const std::string& text) {
  if (installed) {
    if (auto logger = current_logger().get()) logger->log(level, text);
    return;
  }
  std::cerr << level_name(level) << ": " << text << '\n';
}

void log_tagged(const std::string& tag, int number, const std::string& text) {
  if (installed) {
    if (auto logger = current_logger().get()) logger->log_tagged(tag, number, text);
    return;
  }
  std::cerr << tag << '-' << number << ": " << text << '\n';
}

void log_no_memory() {
  if (installed) {
    if (auto logger = current_logger().get()) logger->log_no_memory();
    return;
  }
  [[maybe_unused]] auto ignored = ::write(2, no_memory_text, sizeof no_memory_text - 1);
}

}  // namespace upd
