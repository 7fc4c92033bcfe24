// The process-wide log. Until a logger is installed, messages go to the
// standard error stream as "Level: text". Callers test the threshold before
// formatting anything (UPD_LOG does), so a dropped message costs one compare.
//
// Any thread may log. Console and file loggers write each whole line under
// cf_log_t::mutex_, so lines never interleave; the logger is replaced under
// the same mutex and callers keep their own reference while they use it.
#pragma once

#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace upd {

enum log_level : int { log_debug = 0, log_info = 1, log_notice = 2, log_warning = 3, log_error = 4 };

// "Debug" ... "Error", or "Unknown".
const char* level_name(int level);
// The inverse of level_name; every other text is Error.
int level_by_name(const std::string& name);

class cf_log_t {
 public:
  virtual ~cf_log_t() = default;
  // Runs under mutex_ when the logger becomes current: it must not log.
  virtual void open() = 0;
  virtual void log(int level, const std::string& text) = 0;
  virtual void log_tagged(const std::string& tag, int number, const std::string& text) = 0;
  // Reports exhausted memory without allocating.
  virtual void log_no_memory() = 0;

  // Messages below this level are not written. Set once per process, before
  // the worker thread starts, and only read afterwards.
  static int level_;
  // Serialises logger replacement and whole lines of the console and file loggers.
  static std::mutex mutex_;

  // Makes the logger current and opens it; the previous one is released.
  static void set_log(std::shared_ptr<cf_log_t> logger);
};

// The entry points: to the current logger once one is installed, to the
// standard error stream before. They do not test the threshold.
void log_message(int level, const std::string& text);
void log_tagged(const std::string& tag, int number, const std::string& text);
void log_no_memory();

}  // namespace upd

// UPD_LOG(upd::log_error, "DRL: " << reason): formats and logs only when the
// threshold lets the level through.
#define UPD_LOG(level, stream_expr)                        \
  do {                                                     \
    if (::upd::cf_log_t::level_ <= (level)) {              \
      std::ostringstream upd_log_stream_;                  \
      upd_log_stream_ << stream_expr;                      \
      ::upd::log_message((level), upd_log_stream_.str());  \
    }                                                      \
  } while (0)
