// The monitor client in process, over a socket pair: how its link reads
// frames, what it sends for each call and what it does with each message of
// the monitor.
#include "ipc/configd.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <boost/function/function_base.hpp>
#include <chrono>

#include "common/fd_io.h"
#include "configd_update_ipc.pb.h"
#include "ipc/wire.h"
#include "support/fake_monitor.h"

namespace upd::testing {
namespace {

template <class Message>
Message from_text(const std::string& text) {
  Message message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
  return message;
}

std::string message(const std::string& tag, const std::string& update_dir = "/var/tmp/upd") {
  return from_text<nb::Configd2UpdateMessage>("tag: " + tag + " config { update_dir: '" + update_dir + "' }")
      .SerializeAsString();
}

std::string frame(std::uint32_t length, const std::string& body) {
  std::string header(frame_header_size, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(header.data()), length);
  return header + body;
}
std::string frame(const std::string& body) { return frame(static_cast<std::uint32_t>(body.size()), body); }

class ConfigdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configd->start(service, fd, [this](const nb::UpdateConfig& config) { contexts.push_back(config); });
  }
  // Runs the client's handlers until the condition holds; the bound only
  // ends a wait that would otherwise hang.
  template <class Condition>
  bool run_until(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + hang_guard;
    while (!condition() && std::chrono::steady_clock::now() < deadline) service.run_one_until(deadline);
    return condition();
  }
  void send_raw(const std::string& bytes) { write_all(pair.fd[1], bytes.data(), bytes.size()); }

  captured_log_t log;
  boost::asio::io_context service;
  socket_pair_t pair;
  const int fd = pair.release(0);
  std::shared_ptr<configd_t> configd = std::make_shared<configd_t>();
  std::vector<nb::UpdateConfig> contexts;
  int installed = 0;
};

// The configuration is announced; the answer is taken once.
TEST_F(ConfigdTest, FramesSplitIntoSingleBytesOrSharingASegmentAreRead) {
  configd->install_updates({}, {}, {}, [&] { ++installed; });
  const std::string bytes =
      frame(message("USE_CONTEXT", std::string(300, 'l'))) + frame(message("INSTALL_UPDATES_RESPONSE"));
  for (char c : bytes.substr(0, 14)) {
    send_raw(std::string(1, c));
    service.poll();
  }
  send_raw(bytes.substr(14));
  ASSERT_TRUE(run_until([&] { return installed > 0; }));
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_EQ(contexts[0].update_dir(), std::string(300, 'l'));
  send_raw(frame(message("INSTALL_UPDATES_RESPONSE")));
  EXPECT_THROW(run_until([] { return false; }), boost::bad_function_call);
  EXPECT_EQ(installed, 1);
}

// Were the body awaited, the oversized frame would still wait for it.
TEST_F(ConfigdTest, RejectsLengthsOfZeroOrAboveTheLimitBeforeTheBody) {
  for (std::uint32_t length : {(64u << 20) + 1, 0u}) {  // one past the 64 MiB limit, and zero
    SCOPED_TRACE(length);
    socket_pair_t pair;
    std::make_shared<configd_t>()->start(service, pair.release(0), [](const nb::UpdateConfig&) {});
    write_all(pair.fd[1], frame(length, "body bytes").data(), 14);
    EXPECT_THROW(run_until([] { return false; }), nb::ErrorCode);
    EXPECT_EQ(log.lines().back(), "Error: Monitor IPC error: Invalid IPC message size");
  }
}

TEST_F(ConfigdTest, WatcherCallsAndTheInstallRequestSendOneMessageEach) {
  configd->check_progress_changed(from_text<nb::UpdateCheckProgress>("bytes_to_check: 10 bytes_checked: 4"));
  configd->download_progress_changed(from_text<nb::UpdateDownloadProgress>(
      "files_to_process: 2 files_processed: 1 bytes_to_process: 20 bytes_processed: 5 current_file: 'b.dat'"));
  configd->stat_ready(from_text<nb::UpdateAppStat>("bytes_sent: 7 bytes_received: 9"));
  configd->install_updates({{"/opt/bases/b.dat", "/upd/bases/b.dat", 1, ""}, {"/opt/bases/a.dat", "/upd/a", 2, ""}},
                           {"/opt/z", "/opt/a"}, {"/opt/m"}, [] {});
  service.poll();
  for (const char* expected :
       {"tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 10 bytes_checked: 4 }",
        "tag: MY_PROGRESS_NOTIFICATION download { files_to_process: 2 files_processed: 1 bytes_to_process: 20 "
        "bytes_processed: 5 current_file: \"b.dat\" }",
        "tag: STAT_NOTIFICATION stat { bytes_sent: 7 bytes_received: 9 }",
        "tag: INSTALL_UPDATES_REQUEST install { "
        "to_place { source: \"/upd/bases/b.dat\" destination: \"/opt/bases/b.dat\" } "
        "to_place { source: \"/upd/a\" destination: \"/opt/bases/a.dat\" } "
        "to_remove: \"/opt/a\" to_remove: \"/opt/z\" up_to_date: \"/opt/m\" }"})
    EXPECT_EQ(receive_message(pair.fd[1])->ShortDebugString(), expected);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Debug: Monitor: removed 2, updated 2, up to date 1"});
}

}  // namespace
}  // namespace upd::testing
