// The monitor client in process, over a socket pair: what it sends for each
// call and what it does with each message of the monitor.
#include "ipc/configd.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/function/function_base.hpp>
#include <chrono>

#include "common/log.h"
#include "configd_update_ipc.pb.h"
#include "support/fake_monitor.h"

namespace upd::testing {
namespace {

class ConfigdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configd->start(service, pair.release(0), [this](const nb::UpdateConfig& config) { contexts.push_back(config); });
  }
  // Runs the client's handlers until the condition holds; the bound only
  // ends a wait that would otherwise hang.
  template <class Condition>
  bool run_until(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) service.run_one_until(deadline);
    return condition();
  }
  void send(nb::Configd2UpdateMessage::MessageTag tag) {
    nb::Configd2UpdateMessage message;
    message.set_tag(tag);
    message.mutable_config()->set_update_dir("/var/tmp/upd");
    send_frame(pair.fd[1], message.SerializeAsString());
  }

  captured_log_t log;
  boost::asio::io_context service;
  socket_pair_t pair;
  std::shared_ptr<configd_t> configd = std::make_shared<configd_t>();
  std::vector<nb::UpdateConfig> contexts;
};

TEST_F(ConfigdTest, WatcherCallsAndTheInstallRequestSendOneMessageEach) {
  nb::UpdateCheckProgress check;
  check.set_bytes_to_check(10);
  check.set_bytes_checked(4);
  nb::UpdateDownloadProgress download;
  download.set_files_to_process(2);
  download.set_files_processed(1);
  download.set_bytes_to_process(20);
  download.set_bytes_processed(5);
  download.set_current_file("b.dat");
  nb::UpdateAppStat stat;
  stat.set_bytes_sent(7);
  stat.set_bytes_received(9);
  configd->check_progress_changed(check);
  configd->download_progress_changed(download);
  configd->stat_ready(stat);
  configd->install_updates({{"/opt/bases/b.dat", "/upd/bases/b.dat", 1, ""}, {"/opt/bases/a.dat", "/upd/a", 2, ""}},
                           {"/opt/z", "/opt/a"}, {"/opt/m"}, [] {});
  service.poll();
  std::string text;
  for (int i = 0; i < 4; ++i) text += receive_message(pair.fd[1])->DebugString();
  EXPECT_EQ(text, "tag: MY_PROGRESS_NOTIFICATION\ncheck {\n  bytes_to_check: 10\n  bytes_checked: 4\n}\n"
                  "tag: MY_PROGRESS_NOTIFICATION\ndownload {\n  files_to_process: 2\n  files_processed: 1\n"
                  "  bytes_to_process: 20\n  bytes_processed: 5\n  current_file: \"b.dat\"\n}\n"
                  "tag: STAT_NOTIFICATION\nstat {\n  bytes_sent: 7\n  bytes_received: 9\n}\n"
                  "tag: INSTALL_UPDATES_REQUEST\ninstall {\n"
                  "  to_place {\n    source: \"/upd/bases/b.dat\"\n    destination: \"/opt/bases/b.dat\"\n  }\n"
                  "  to_place {\n    source: \"/upd/a\"\n    destination: \"/opt/bases/a.dat\"\n  }\n"
                  "  to_remove: \"/opt/a\"\n  to_remove: \"/opt/z\"\n  up_to_date: \"/opt/m\"\n}\n");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Debug: Monitor: removed 2, updated 2, up to date 1"});
}

// A second USE_CONTEXT finds no callback.
TEST_F(ConfigdTest, UseContextAndTheAnswerAreTakenOnce) {
  int installed = 0;
  send(nb::Configd2UpdateMessage::USE_CONTEXT);
  ASSERT_TRUE(run_until([&] { return !contexts.empty(); }));
  EXPECT_EQ(contexts[0].update_dir(), "/var/tmp/upd");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Notice: Update 10.0.0.0.1409222330"});
  configd->install_updates({}, {}, {}, [&] { ++installed; });
  send(nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
  ASSERT_TRUE(run_until([&] { return installed > 0; }));
  send(nb::Configd2UpdateMessage::USE_CONTEXT);
  EXPECT_THROW(run_until([] { return false; }), boost::bad_function_call);
  EXPECT_EQ(installed, 1);
  EXPECT_EQ(contexts.size(), 1u);
}

}  // namespace
}  // namespace upd::testing
