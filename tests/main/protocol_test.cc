// Faults of the monitor: each ends the process with one Error line, the exit
// line and a defined status. Nothing is answered to the monitor.
#include <gtest/gtest.h>

#include <functional>

#include "main/component.h"

namespace upd::testing {
namespace {

const std::string ipc_exit = "\nNotice: Exit with status 1 (Error on monitor channel)\n",
                  eof = "Error: Monitor IPC error: End of file" + ipc_exit,
                  bad_size = "Error: Monitor IPC error: Invalid IPC message size" + ipc_exit,
                  bad_format = "Error: Invalid IPC message format" + ipc_exit;

TEST(MonitorFaultTest, EndsTheRunWithAnErrorLine) {
  nb::Configd2UpdateMessage without_tag, proxy_without_type = use_context(stderr_log(), "/nonexistent"),
                                         without_config;
  without_tag.mutable_error()->set_code(nb::EC_IO_ERROR);
  proxy_without_type.mutable_config()->mutable_proxy()->set_host("127.0.0.1");
  without_config.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  const std::pair<std::function<void(fake_monitor_t&)>, std::string> cases[] = {
      {[](fake_monitor_t& m) { m.send_bytes(std::string(4, '\0')); }, bad_size},
      {[](fake_monitor_t& m) { m.send_bytes(std::string("\x01\x00\x00\x04", 4)); }, bad_size},
      {[](fake_monitor_t& m) { m.send_frame("\xff\xff\xff\xff"); }, bad_format},
      {[&](fake_monitor_t& m) { m.send_partial(without_tag); }, bad_format},
      {[&](fake_monitor_t& m) { m.send_partial(proxy_without_type); }, bad_format},
      {[&](fake_monitor_t& m) { m.send(without_config); },
       "Error: Monitor: USE_CONTEXT: argument check failed: message.has_config()" + ipc_exit},
      {[](fake_monitor_t& m) { m.send(install_response()); },
       "Error: call to empty boost::function\nNotice: Exit with status 125 (Unexpected error)\n"},
  };
  for (const auto& [act, err] : cases) {
    fake_monitor_t monitor(component());
    act(monitor);
    EXPECT_EQ(monitor.wait_exit(), err.ends_with("(Unexpected error)\n") ? 125 : 1);
    EXPECT_EQ(monitor.stderr_text(), err);
    EXPECT_FALSE(monitor.receive());
  }
}

// A configuration frame cut at every length, then the monitor goes away:
// always the end-of-file error, never a half-applied configuration.
TEST(MonitorFaultTest, EveryCutOfAFrameEndsWithEndOfFile) {
  const std::string body = use_context(stderr_log(), "/nonexistent").SerializeAsString();
  const std::string frame = std::string(1, static_cast<char>(body.size())) + std::string(3, '\0') + body;
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    fake_monitor_t monitor(component());
    monitor.send_bytes(frame.substr(0, cut));
    monitor.close_socket();
    EXPECT_EQ(monitor.wait_exit(), 1);
    EXPECT_EQ(monitor.stderr_text(), eof) << cut;
  }
}

}  // namespace
}  // namespace upd::testing
