// The process end to end: started by hand, started with a descriptor that
// is no socket, faced with a monitor that misbehaves or configures what
// cannot be used, through whole runs without zones, and signalled while it
// waits. Under the monitor every ending is one Error line (none on success),
// the exit line and a defined status, never a hang.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <functional>

#include "main/component.h"

namespace upd::testing {
namespace {

const std::string ipc_exit = "\nNotice: Exit with status 1 (Error on monitor channel)\n",
                  unexpected_exit = "\nNotice: Exit with status 125 (Unexpected error)\n";

// Started by hand, without COM_NIMBO_MONITOR, it serves only help and
// version (the options themselves are boost's); a COM_NIMBO_MONITOR that names no stream socket ends the process.
TEST(StartTest, ByHandOnlyHelpAndVersionWithoutASocketAnErrorLine) {
  const std::string standalone = "Cannot run standalone. See nimbo-update(1) for details.\n",
                    version = "nimbo-update 10.0.0.0.1409222330\n",
                    bad_cast = "Error: bad lexical cast: source type value could not be interpreted as target" +
                               unexpected_exit,
                    bad_descriptor = "Error: assign: Bad file descriptor" + unexpected_exit;
  const struct {
    std::optional<std::string> descriptor;
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } cases[] = {
      {{}, {}, standalone, "", 0},
      {{}, {"-v"}, version, "", 0},
      {{}, {"--bogus"}, "", "nimbo-update: unrecognised option '--bogus'\n", 66},
      {"", {}, "", bad_cast, 125},
      {"-1", {}, "", bad_descriptor, 125},
      // Standard input, /dev/null here.
      {"0", {}, "", "Error: assign: Socket operation on non-socket" + unexpected_exit, 125},
  };
  for (const auto& c : cases) {
    launch_t launch = component(c.args);
    launch.descriptor_text = c.descriptor;
    fake_monitor_t process(launch);
    EXPECT_EQ(process.wait_exit(), c.status);
    EXPECT_EQ(process.stdout_text(), c.out);
    EXPECT_EQ(process.stderr_text(), c.err);
  }
}

// Command-line arguments are ignored under the monitor. Nothing is answered
// to a monitor at fault or to a configuration that cannot be used, and a
// frame cut short is never half applied. The status is the one the last line
// names.
TEST(MonitorFaultTest, EndsTheRunWithAnErrorLine) {
  const std::string bad_format = "Error: Invalid IPC message format" + ipc_exit,
                    eof = "Error: Monitor IPC error: End of file" + ipc_exit,
                    bad_config = "\nNotice: Exit with status 102 (Invalid configuration)\n",
                    no_entry = "Error: Cannot use config: create_directory: No such file or directory";
  temp_dir_t dir;
  const auto nested = dir / "a" / "upd";
  nb::Configd2UpdateMessage proxy_without_type = use_context(stderr_log(), "/nonexistent"), without_config;
  const std::string body = proxy_without_type.SerializeAsString();
  const std::string frame = std::string(1, static_cast<char>(body.size())) + std::string(3, '\0') + body;
  proxy_without_type.mutable_config()->mutable_proxy()->set_host("127.0.0.1");
  without_config.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  const std::pair<std::function<void(fake_monitor_t&)>, std::string> cases[] = {
      {[](fake_monitor_t&) {}, eof},
      {[&](fake_monitor_t& m) { m.send_bytes(frame.substr(0, frame.size() - 1)); }, eof},
      {[](fake_monitor_t& m) { m.send_frame("\xff\xff\xff\xff"); }, bad_format},
      {[&](fake_monitor_t& m) { m.send_frame(proxy_without_type.SerializePartialAsString()); }, bad_format},
      {[&](fake_monitor_t& m) { m.send(without_config); },
       "Error: Monitor: USE_CONTEXT: argument check failed: message.has_config()" + ipc_exit},
      {[](fake_monitor_t& m) { m.send(install_response()); }, "Error: call to empty boost::function" + unexpected_exit},
      {[&](fake_monitor_t& m) { m.send(use_context(file_log("relative.log"), (dir / "upd").string())); },
       "Error: Cannot use config: log option: Path must be absolute: \"relative.log\"" + bad_config},
      {[](fake_monitor_t& m) { m.send(use_context(stderr_log(), "")); }, no_entry + bad_config},
      // The update folder is made one level only.
      {[&](fake_monitor_t& m) { m.send(use_context(stderr_log(), nested.string())); },
       no_entry + ": \"" + nested.string() + "\"" + bad_config},
  };
  for (const auto& [act, err] : cases) {
    fake_monitor_t monitor(component({"--help", "--bogus"}));
    act(monitor);
    if (err == eof) monitor.close_socket();
    EXPECT_EQ(monitor.wait_exit(), std::stoi(err.substr(err.rfind("status ") + 7)));
    EXPECT_EQ(monitor.stdout_text(), "");
    EXPECT_EQ(monitor.stderr_text(), err);
    EXPECT_FALSE(monitor.receive());
    // What is done before a failure stays done, and nothing after it.
    EXPECT_FALSE(boost::filesystem::exists(dir / "upd"));
  }
}

// No zone is enabled, so only progress comes before an empty request. The
// answer becomes the exit status; the monitor going away or a second
// configuration ends the run too.
TEST(AttemptTest, TheAnswerToTheEmptyRequestEndsTheRun) {
  const struct {
    int code;
    const char* what;
    std::vector<std::string> lines;
  } cases[] = {
      {0, nullptr, {"Notice: Update 10.0.0.0.1409222330", "Debug: Network usage: sent 0, received 0 bytes",
                    "Debug: Monitor: removed 0, updated 0, up to date 0", "Notice: Exit with status 0 (Success)"}},
      {24, nullptr, {"Error: Update installation: Permission denied", "Notice: Exit with status 24 (Permission denied)"}},
      {24, "target is read-only", {"Error: Update installation: target is read-only"}},
      {1, nullptr, {"Error: Monitor IPC error: End of file", "Notice: Exit with status 1 (Error on monitor channel)"}},
      {125, nullptr, {"Error: call to empty boost::function", "Notice: Exit with status 125 (Unexpected error)"}},
  };
  temp_dir_t dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.front());
    fake_monitor_t monitor(component());
    const auto context = use_context(stderr_log(), (dir / "upd").string());
    monitor.send(context);
    const auto request = monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->install().ByteSizeLong(), 0u);
    ASSERT_FALSE(monitor.skipped.empty());
    for (const auto& message : monitor.skipped)
      EXPECT_EQ(message.tag(), nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    auto response = install_response();
    response.mutable_error()->set_code(static_cast<nb::ErrorCode>(c.code));
    if (c.what) response.mutable_error()->set_what(c.what);
    if (c.code == 1)
      monitor.close_socket();
    else
      monitor.send(c.code == 125 ? context : response);
    EXPECT_EQ(monitor.wait_exit(), c.code);
    const auto lines = lines_of(monitor.stderr_text());
    for (const auto& line : c.lines)
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n" << monitor.stderr_text();
  }
}

// SIGTERM at any moment of a run is for the fault injection test.
TEST(SignalTest, IntEndsTheRunHangupChangesNothing) {
  fake_monitor_t interrupted(component());
  ASSERT_TRUE(interrupted.wait_for_handler(SIGINT));
  ::kill(interrupted.pid(), SIGINT);
  EXPECT_EQ(interrupted.wait_exit(), 107);
  EXPECT_EQ(interrupted.stderr_text(), "Notice: Termination signal received, exiting...\n"
                                       "Notice: Exit with status 107 (Process terminated by signal)\n");
  // A hangup before the configuration and one while the request waits;
  // everything after the configuration goes to the configured log.
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  ASSERT_TRUE(monitor.wait_for_handler(SIGHUP));
  ::kill(monitor.pid(), SIGHUP);
  monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  ::kill(monitor.pid(), SIGHUP);
  monitor.send(install_response());
  EXPECT_EQ(monitor.wait_exit(), 0);
  EXPECT_EQ(monitor.stderr_text(), "");
  EXPECT_EQ(file_log_lines(read_file(dir / "update.log")).back(), "Notice: Exit with status 0 (Success)");
}

}  // namespace
}  // namespace upd::testing
