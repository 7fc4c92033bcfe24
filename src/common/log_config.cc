#include "common/log_config.h"

#include <syslog.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <cerrno>

#include "common/error.h"
#include "common/log_sinks.h"
#include "common/safe_file.h"

namespace upd {

int level_from_config(nb::LogLevel level) {
  switch (level) {
    case nb::LOG_LEVEL_DEBUG: return log_debug;
    case nb::LOG_LEVEL_INFO: return log_info;
    case nb::LOG_LEVEL_NOTICE: return log_notice;
    case nb::LOG_LEVEL_WARNING: return log_warning;
    default: return log_error;
  }
}

int facility_from_config(nb::Log::LogFacility facility) {
  switch (facility) {
    case nb::Log::USER: return LOG_USER;
    case nb::Log::MAIL: return LOG_MAIL;
    case nb::Log::LOCAL0: return LOG_LOCAL0;
    case nb::Log::LOCAL1: return LOG_LOCAL1;
    case nb::Log::LOCAL2: return LOG_LOCAL2;
    case nb::Log::LOCAL3: return LOG_LOCAL3;
    case nb::Log::LOCAL4: return LOG_LOCAL4;
    case nb::Log::LOCAL5: return LOG_LOCAL5;
    case nb::Log::LOCAL6: return LOG_LOCAL6;
    case nb::Log::LOCAL7: return LOG_LOCAL7;
    default: return LOG_DAEMON;
  }
}

namespace {

// What open_log_file says of a name that holds a link, a second hard link,
// a FIFO (ENXIO without a reader), a directory or another special file.
bool planted(const boost::system::error_code& code) {
  if (code.category() != boost::system::system_category()) return false;
  const int value = code.value();
  return value == ELOOP || value == EMLINK || value == ENXIO || value == EISDIR || value == EINVAL;
}

std::shared_ptr<cf_log_t> make_file_log(const std::string& path) {
  namespace fs = boost::filesystem;
  if (!fs::path(path).is_absolute())
    throw fs::filesystem_error("log option", path, nb::make_error_code(nb::EC_NOT_ABSOLUTE_PATH));
  try {
    return std::make_shared<cf_file_log_t>(open_log_file(path, 0644).release(), true);
  } catch (const boost::system::system_error& e) {
    if (!planted(e.code())) throw fs::filesystem_error("open", path, e.code());
    // Whoever put it there chose where root's lines would go; the run goes
    // on, logged where the administrator sees it.
    UPD_LOG(log_error, "Log: " << fs::path(path) << ": " << e.code().message()
                               << "; logging to standard error");
    return std::make_shared<cf_console_log_t>();
  }
}

}  // namespace

std::shared_ptr<cf_log_t> make_log(const nb::Log& description) {
  switch (description.type()) {
    case nb::Log::SYSLOG:
      return std::make_shared<cf_syslog_log_t>(
          description.has_ident() ? description.ident().c_str() : nullptr,
          static_cast<unsigned>(facility_from_config(description.facility())));
    case nb::Log::FILE:
      return make_file_log(description.path());
    case nb::Log::STDERR:
      if (description.show_timestamp()) return std::make_shared<cf_file_log_t>(2, false);
      return std::make_shared<cf_console_log_t>();
    default:
      return nullptr;
  }
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char*, int,
                          const std::string& message) {
  int ours = log_error;
  if (level == google::protobuf::LOGLEVEL_INFO) {
    ours = log_info;
  } else if (level == google::protobuf::LOGLEVEL_WARNING) {
    // The link bounds frames itself; the library's size warning is noise.
    if (message.starts_with("Reading dangerously large protocol message.")) return;
    ours = log_warning;
  }
  if (ours < cf_log_t::level_) return;
  log_message(ours, message);
}

void apply_log_config(const nb::UpdateConfig& config) {
  cf_log_t::level_ = level_from_config(config.log_level());
  nb::Log description;
  if (config.has_actual_log()) {
    description = config.actual_log();
  } else {
    description.set_type(nb::Log::SYSLOG);
  }
  if (auto logger = make_log(description)) {
    cf_log_t::set_log(std::move(logger));
  } else {
    UPD_LOG(log_warning, "Log type " << nb::Log::LogType_Name(description.type())
                                     << " is not resolved; keeping the current log");
  }
  google::protobuf::SetLogHandler(&protobuf_log_handler);
}

}  // namespace upd
