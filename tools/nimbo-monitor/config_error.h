// The failure of reading the monitor's configuration file: a text that names
// the file, the line and the option, and the suite's code for the kind of
// mistake (unknown option, bad value, relative path, ...).
#pragma once

#include <stdexcept>
#include <string>

#include "error.pb.h"

namespace upd::monitor {

class config_error_t : public std::runtime_error {
 public:
  config_error_t(nb::ErrorCode code, const std::string& text) : std::runtime_error(text), code_(code) {}
  nb::ErrorCode code() const { return code_; }

 private:
  nb::ErrorCode code_;
};

}  // namespace upd::monitor
