// Turning the monitor's logging settings into the process-wide log.
#pragma once

#include <google/protobuf/stubs/logging.h>

#include <memory>
#include <string>

#include "common/log.h"
#include "log.pb.h"
#include "update_config.pb.h"

namespace upd {

int level_from_config(nb::LogLevel level);
int facility_from_config(nb::Log::LogFacility facility);

// A logger for the description, or an empty pointer for AUTO. A relative
// FILE path throws a filesystem error ("log option", EC_NOT_ABSOLUTE_PATH);
// a file that cannot be opened throws one with the context "open".
std::shared_ptr<cf_log_t> make_log(const nb::Log& description);

// Routes the protobuf library's diagnostics into the log.
void protobuf_log_handler(google::protobuf::LogLevel level, const char* file, int line,
                          const std::string& message);

// Sets the threshold, then builds and installs the configured logger and the
// protobuf handler. When the logger cannot be built the threshold stays set
// and the previous logger stays current.
void apply_log_config(const nb::UpdateConfig& config);

}  // namespace upd
