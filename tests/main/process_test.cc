// The process end to end: started with a descriptor that is no socket,
// faced with a monitor that misbehaves or configures what cannot be used,
// and through whole runs without zones. Under the monitor every ending is
// one Error line (none on success), the exit line and a defined status,
// never a hang. (Help, version and the refusal to run by hand are boost's
// options and one line of text, and go unchecked, like SIGHUP; SIGTERM and
// SIGINT at random moments are the fault injection test's.)
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <functional>

#include "main/component.h"

namespace upd::testing {
namespace {

const std::string ipc_exit = "\nNotice: Exit with status 1 (Error on monitor channel)\n",
                  unexpected_exit = "\nNotice: Exit with status 125 (Unexpected error)\n";

// Command-line arguments are ignored under the monitor, and a
// COM_NIMBO_MONITOR that names no stream socket ends the process. Nothing is
// answered to a monitor at fault or to a configuration that cannot be used,
// and a frame cut short is never half applied. The status is the one the
// last line names.
TEST(MonitorFaultTest, EndsTheRunWithAnErrorLine) {
  const std::string bad_format = "Error: Invalid IPC message format" + ipc_exit,
                    eof = "Error: Monitor IPC error: End of file" + ipc_exit,
                    bad_config = "\nNotice: Exit with status 102 (Invalid configuration)\n",
                    no_entry = "Error: Cannot use config: create_directory: No such file or directory";
  temp_dir_t dir;
  const auto nested = dir / "a" / "upd";
  nb::Configd2UpdateMessage proxy_without_type = use_context(stderr_log(), "/nonexistent"), without_config,
                            injecting = use_context(stderr_log(), (dir / "upd").string());
  // A value that would end its request header and write one of its own.
  injecting.mutable_config()->set_system_hash("1234\r\nX-Injected: yes");
  const std::string body = proxy_without_type.SerializeAsString();
  const std::string frame = std::string(1, static_cast<char>(body.size())) + std::string(3, '\0') + body;
  proxy_without_type.mutable_config()->mutable_proxy()->set_host("127.0.0.1");
  without_config.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  const auto nothing = [](fake_monitor_t&) {};
  const std::tuple<const char*, std::function<void(fake_monitor_t&)>, std::string> cases[] = {
      {"", nothing, "Error: bad lexical cast: source type value could not be interpreted as target" + unexpected_exit},
      // Standard input, /dev/null here.
      {"0", nothing, "Error: assign: Socket operation on non-socket" + unexpected_exit},
      {"3", nothing, eof},
      {"3", [&](fake_monitor_t& m) { m.send_bytes(frame.substr(0, frame.size() - 1)); }, eof},
      {"3", [](fake_monitor_t& m) { m.send_frame("\xff\xff\xff\xff"); }, bad_format},
      {"3", [&](fake_monitor_t& m) { m.send_frame(proxy_without_type.SerializePartialAsString()); }, bad_format},
      {"3", [&](fake_monitor_t& m) { m.send(without_config); },
       "Error: Monitor: USE_CONTEXT: argument check failed: message.has_config()" + ipc_exit},
      {"3", [](fake_monitor_t& m) { m.send(install_response()); },
       "Error: call to empty boost::function" + unexpected_exit},
      {"3", [&](fake_monitor_t& m) { m.send(use_context(file_log("relative.log"), (dir / "upd").string())); },
       "Error: Cannot use config: log option: Path must be absolute: \"relative.log\"" + bad_config},
      {"3", [&](fake_monitor_t& m) { m.send(injecting); },
       "Error: Cannot use config: Config option Monitor.SystemHash holds a control character" + bad_config},
      {"3", [](fake_monitor_t& m) { m.send(use_context(stderr_log(), "")); }, no_entry + bad_config},
      // The update folder is made one level only.
      {"3", [&](fake_monitor_t& m) { m.send(use_context(stderr_log(), nested.string())); },
       no_entry + ": \"" + nested.string() + "\"" + bad_config},
  };
  for (const auto& [descriptor, act, err] : cases) {
    launch_t launch = component({"--help", "--bogus"});
    launch.descriptor_text = descriptor;
    fake_monitor_t monitor(launch);
    act(monitor);
    if (err == eof) monitor.close_socket();
    EXPECT_EQ(monitor.wait_exit(), std::stoi(err.substr(err.rfind("status ") + 7)));
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

}  // namespace
}  // namespace upd::testing
