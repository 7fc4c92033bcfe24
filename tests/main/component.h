// Shared by the end-to-end tests of the process: how to start the component
// of this build tree, and checks on what it wrote.
#pragma once

#include <string>
#include <vector>

#include "support/fake_monitor.h"

namespace upd::testing {

inline launch_t component(std::vector<std::string> args = {}) {
  return {NIMBO_BINARY_DIR "/bin/nimbo-update", std::move(args)};
}

// The lines of a file log without their "date time [pid] " prefix.
inline std::vector<std::string> file_log_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (const auto& line : lines_of(text))
    lines.push_back(line.find("] ") == std::string::npos ? line : line.substr(line.find("] ") + 2));
  return lines;
}

inline nb::Configd2UpdateMessage install_response() {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
  return message;
}

}  // namespace upd::testing
