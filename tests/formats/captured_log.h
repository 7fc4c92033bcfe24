// A logger for tests: while one lives, every log line of the process is kept
// as "Level: text" in lines(), at the threshold the test chose (Debug by
// default). The previous threshold and a console logger are restored after.
// Single-threaded tests only.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/log_sinks.h"

namespace upd::testing {

class captured_log_t {
 public:
  explicit captured_log_t(int level = log_debug) : saved_level_(cf_log_t::level_) {
    cf_log_t::level_ = level;
    cf_log_t::set_log(sink_);
  }
  ~captured_log_t() {
    cf_log_t::set_log(std::make_shared<cf_console_log_t>());
    cf_log_t::level_ = saved_level_;
  }
  captured_log_t(const captured_log_t&) = delete;
  captured_log_t& operator=(const captured_log_t&) = delete;

  std::vector<std::string> lines() const { return sink_->lines; }
  void clear() { sink_->lines.clear(); }

 private:
  struct sink_t : cf_log_t {
    void open() override {}
    void log(int level, const std::string& text) override {
      lines.push_back(std::string(level_name(level)) + ": " + text);
    }
    void log_tagged(const std::string& tag, int number, const std::string& text) override {
      lines.push_back(tag + "-" + std::to_string(number) + ": " + text);
    }
    void log_no_memory() override { lines.push_back("Error: Not enough memory"); }
    std::vector<std::string> lines;
  };

  std::shared_ptr<sink_t> sink_ = std::make_shared<sink_t>();
  int saved_level_;
};

}  // namespace upd::testing
