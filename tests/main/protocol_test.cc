// Faults of the monitor: each ends the process with one Error line, the exit
// line and a defined status. Nothing is answered to the monitor.
#include <gtest/gtest.h>

#include <functional>

#include "ipc/wire.h"
#include "main/component.h"

namespace upd::testing {
namespace {

nb::Configd2UpdateMessage without_config() {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  return message;
}

nb::Configd2UpdateMessage proxy_without_type() {
  auto message = use_context(stderr_log(), "/nonexistent");
  message.mutable_config()->mutable_proxy()->set_host("127.0.0.1");
  return message;
}

nb::Configd2UpdateMessage without_tag() {
  nb::Configd2UpdateMessage message;
  message.mutable_error()->set_code(nb::EC_IO_ERROR);
  return message;
}

struct fault_case_t {
  const char* name;
  std::function<void(fake_monitor_t&)> act;
  std::string err;
  int status;
};

void PrintTo(const fault_case_t& fault, std::ostream* out) { *out << fault.name; }

class MonitorFaultTest : public ::testing::TestWithParam<fault_case_t> {};

TEST_P(MonitorFaultTest, EndsTheRunWithAnErrorLine) {
  const auto& fault = GetParam();
  fake_monitor_t monitor(component());
  fault.act(monitor);
  EXPECT_EQ(monitor.wait_exit(), fault.status);
  EXPECT_EQ(monitor.stderr_text(), fault.err);
  EXPECT_FALSE(monitor.receive());
}

const char* const ipc_exit = "Notice: Exit with status 1 (Error on monitor channel)\n";

INSTANTIATE_TEST_SUITE_P(
    Protocol, MonitorFaultTest,
    ::testing::Values(
        fault_case_t{
            "ZeroLengthFrame", [](fake_monitor_t& m) { m.send_bytes(std::string(4, '\0')); },
            std::string("Error: Monitor IPC error: Invalid IPC message size\n") + ipc_exit, 1},
        fault_case_t{"FrameAboveTheLimit",
                     [](fake_monitor_t& m) { m.send_bytes(std::string("\x01\x00\x00\x04", 4)); },
                     std::string("Error: Monitor IPC error: Invalid IPC message size\n") + ipc_exit,
                     1},
        fault_case_t{"GarbageBody", [](fake_monitor_t& m) { m.send_frame("\xff\xff\xff\xff"); },
                     std::string("Error: Invalid IPC message format\n") + ipc_exit, 1},
        fault_case_t{"MessageWithoutTag", [](fake_monitor_t& m) { m.send_partial(without_tag()); },
                     std::string("Error: Invalid IPC message format\n") + ipc_exit, 1},
        fault_case_t{"ProxyWithoutType",
                     [](fake_monitor_t& m) { m.send_partial(proxy_without_type()); },
                     std::string("Error: Invalid IPC message format\n") + ipc_exit, 1},
        fault_case_t{
            "UseContextWithoutConfig", [](fake_monitor_t& m) { m.send(without_config()); },
            std::string(
                "Error: Monitor: USE_CONTEXT: argument check failed: message.has_config()\n") +
                ipc_exit,
            1},
        fault_case_t{"MonitorClosesTheSocket", [](fake_monitor_t& m) { m.close_socket(); },
                     std::string("Error: Monitor IPC error: End of file\n") + ipc_exit, 1},
        fault_case_t{"HalfAFrameThenClose",
                     [](fake_monitor_t& m) {
                       m.send_bytes(std::string("\x10\x00\x00\x00\x08", 5));
                       m.close_socket();
                     },
                     std::string("Error: Monitor IPC error: End of file\n") + ipc_exit, 1},
        fault_case_t{"AnswerWithoutRequest", [](fake_monitor_t& m) { m.send(install_response()); },
                     "Error: call to empty boost::function\n"
                     "Notice: Exit with status 125 (Unexpected error)\n",
                     125}),
    [](const ::testing::TestParamInfo<fault_case_t>& info) {
      return std::string(info.param.name);
    });

// A configuration frame cut at every length, then the monitor goes away:
// always the end-of-file error, never a half-applied configuration.
TEST(TruncatedFrameTest, EveryCutEndsWithEndOfFile) {
  const std::string body = use_context(stderr_log(), "/nonexistent").SerializeAsString();
  std::string frame(frame_header_size, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(frame.data()),
                      static_cast<std::uint32_t>(body.size()));
  frame += body;
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    SCOPED_TRACE(cut);
    fake_monitor_t monitor(component());
    monitor.send_bytes(frame.substr(0, cut));
    monitor.close_socket();
    EXPECT_EQ(monitor.wait_exit(), 1);
    EXPECT_EQ(monitor.stderr_text(),
              std::string("Error: Monitor IPC error: End of file\n") + ipc_exit);
  }
}

}  // namespace
}  // namespace upd::testing
