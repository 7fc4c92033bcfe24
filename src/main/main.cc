// The process entry. Under the monitor (COM_NIMBO_MONITOR holds the socket's
// descriptor number) it runs the controller once and turns the outcome into
// an ErrorCode exit status, logged as "Exit with status N (text)". Without
// the variable it only serves the command line.
#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>

#include "common/error.h"
#include "common/log.h"
#include "main/command_line.h"
#include "main/controller.h"

namespace {

int run_under_monitor(const char* descriptor_text) {
  int status = nb::EC_OK;
  try {
    // The whole text, no blanks: "3 " is refused.
    const auto fd = boost::lexical_cast<std::int32_t>(std::string(descriptor_text));
    upd::main_t controller;
    controller.run(fd);
  } catch (nb::ErrorCode code) {
    // Whoever threw the code has logged it.
    status = code;
  } catch (const std::exception& e) {
    UPD_LOG(upd::log_error, upd::text_from_exception(e));
    status = upd::code_from_exception(&e);
  }
  UPD_LOG(upd::log_notice, "Exit with status " << status << " (" << upd::error_text(status) << ")");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // The random order of update servers draws from this generator.
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const char* monitor = std::getenv("COM_NIMBO_MONITOR");
  if (!monitor) return upd::handle_command_line(argc, argv);
  return run_under_monitor(monitor);
}
