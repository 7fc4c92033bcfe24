// A fake monitor for end-to-end tests: starts the real nimbo-update the way
// the suite's monitor does (one end of a socket pair inherited as descriptor
// 3, its number in COM_NIMBO_MONITOR), exchanges framed messages with it,
// waits for its exit with a bound, and collects what it wrote to standard
// error.
//
// One object per process; used from the test's thread only. The destructor
// kills a process that is still running and reaps it.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "configd_update_ipc.pb.h"
#include "support/test_support.h"

namespace upd::testing {

// How the process is started.
struct launch_t {
  boost::filesystem::path program;
  std::vector<std::string> args;
  // The text of COM_NIMBO_MONITOR; none leaves the variable unset.
  std::optional<std::string> descriptor_text = "3";
};

// The bound used where a test waits for something that normally takes
// milliseconds; it only ends a wait that would otherwise hang.
constexpr std::chrono::milliseconds hang_guard{10000};

class fake_monitor_t {
 public:
  explicit fake_monitor_t(launch_t launch);
  ~fake_monitor_t();
  fake_monitor_t(const fake_monitor_t&) = delete;
  fake_monitor_t& operator=(const fake_monitor_t&) = delete;

  pid_t pid() const { return pid_; }

  // Frames and sends one message; send_frame takes any body, even a
  // malformed one.
  void send(const nb::Configd2UpdateMessage& message);
  void send_frame(const std::string& body);
  void send_bytes(const std::string& bytes);
  // Closes the monitor's end of the socket.
  void close_socket();

  // The next message, or none when the component closed the socket or
  // nothing arrived within the bound. Throws on a frame that does not parse.
  std::optional<nb::Update2ConfigdMessage> receive(std::chrono::milliseconds bound = hang_guard);
  // Receives until a message with the tag; those before it are kept in skipped.
  std::optional<nb::Update2ConfigdMessage> receive_until(
      nb::Update2ConfigdMessage::MessageTag tag, std::chrono::milliseconds bound = hang_guard);
  std::vector<nb::Update2ConfigdMessage> skipped;

  // Waits until the process has installed a handler for the signal.
  bool wait_for_handler(int signal_number, std::chrono::milliseconds bound = hang_guard);

  // The exit status, or minus the signal number that ended it; none when the
  // process is still running after the bound (it is then killed).
  std::optional<int> wait_exit(std::chrono::milliseconds bound = hang_guard);

  std::string stderr_text() const;

 private:
  temp_dir_t dir_;
  int socket_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// A framed message read from a socket descriptor as the monitor reads it;
// none on end of file or after the bound.
std::optional<nb::Update2ConfigdMessage> receive_message(
    int fd, std::chrono::milliseconds bound = hang_guard);

// USE_CONTEXT with the configuration; with one for a run without zones:
// log_level Debug, the log as given, update_dir as given.
nb::Configd2UpdateMessage context_of(const nb::UpdateConfig& config);
nb::Configd2UpdateMessage use_context(const nb::Log& log, const std::string& update_dir);
nb::Log file_log(const boost::filesystem::path& path);
nb::Log stderr_log();

// Splits text into lines, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace upd::testing
