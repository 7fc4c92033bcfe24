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
#include "support/test_support.h"

namespace upd::testing {
namespace {

class ConfigdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    configd->start(service, pair.release(0),
                   [this](const nb::UpdateConfig& config) { contexts.push_back(config); });
  }
  void TearDown() override { cf_log_t::level_ = saved_level_; }

  int monitor() const { return pair.fd[1]; }

  // Runs the client's handlers until the condition holds; the bound only
  // ends a wait that would otherwise hang.
  template <class Condition>
  bool run_until(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
      service.run_one_until(deadline);
    return condition();
  }

  boost::asio::io_context service;
  socket_pair_t pair;
  std::shared_ptr<configd_t> configd = std::make_shared<configd_t>();
  std::vector<nb::UpdateConfig> contexts;

 private:
  int saved_level_ = cf_log_t::level_;
};

nb::Configd2UpdateMessage context_message() {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  message.mutable_config()->set_update_dir("/var/tmp/upd");
  return message;
}

TEST_F(ConfigdTest, InstallRequestKeepsItemOrderAndSortedSets) {
  cf_log_t::level_ = log_debug;
  fd_capture_t err;
  const std::vector<zone_item_t> items{{"/opt/bases/b.dat", "/upd/bases/b.dat", 1, ""},
                                       {"/opt/bases/a.dat", "/upd/bases/a.dat", 2, ""}};
  configd->install_updates(items, {"/opt/z", "/opt/a"}, {"/opt/m"}, [] {});
  service.poll();
  EXPECT_EQ(err.text(), "Debug: Monitor: removed 2, updated 2, up to date 1\n");

  const auto message = receive_message(monitor());
  ASSERT_TRUE(message);
  EXPECT_EQ(message->tag(), nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
  const auto& request = message->install();
  ASSERT_EQ(request.to_place_size(), 2);
  EXPECT_EQ(request.to_place(0).source(), "/upd/bases/b.dat");
  EXPECT_EQ(request.to_place(0).destination(), "/opt/bases/b.dat");
  EXPECT_EQ(request.to_place(1).source(), "/upd/bases/a.dat");
  ASSERT_EQ(request.to_remove_size(), 2);
  EXPECT_EQ(request.to_remove(0), "/opt/a");
  EXPECT_EQ(request.to_remove(1), "/opt/z");
  ASSERT_EQ(request.up_to_date_size(), 1);
  EXPECT_EQ(request.up_to_date(0), "/opt/m");
}

TEST_F(ConfigdTest, EachWatcherCallSendsOneMessage) {
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
  service.poll();

  const auto first = receive_message(monitor());
  const auto second = receive_message(monitor());
  const auto third = receive_message(monitor());
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(first->tag(), nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
  EXPECT_EQ(first->check().SerializeAsString(), check.SerializeAsString());
  EXPECT_FALSE(first->has_download());
  EXPECT_EQ(second->tag(), nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
  EXPECT_EQ(second->download().SerializeAsString(), download.SerializeAsString());
  EXPECT_FALSE(second->has_check());
  EXPECT_EQ(third->tag(), nb::Update2ConfigdMessage::STAT_NOTIFICATION);
  EXPECT_EQ(third->stat().SerializeAsString(), stat.SerializeAsString());
}

TEST_F(ConfigdTest, UseContextHandsOverTheConfigurationAndLogsTheVersion) {
  fd_capture_t err;
  send_frame(monitor(), context_message().SerializeAsString());
  ASSERT_TRUE(run_until([&] { return !contexts.empty(); }));
  EXPECT_EQ(contexts[0].update_dir(), "/var/tmp/upd");
  EXPECT_EQ(err.text(), "Notice: Update 10.0.0.0.1409222330\n");
}

TEST_F(ConfigdTest, SecondUseContextFindsNoCallback) {
  send_frame(monitor(), context_message().SerializeAsString());
  send_frame(monitor(), context_message().SerializeAsString());
  fd_capture_t err;
  EXPECT_THROW(run_until([] { return false; }), boost::bad_function_call);
  EXPECT_EQ(contexts.size(), 1u);
}

TEST_F(ConfigdTest, PositiveAnswerCallsTheInstalledCallbackOnce) {
  int installed = 0;
  configd->install_updates({}, {}, {}, [&] { ++installed; });
  nb::Configd2UpdateMessage answer;
  answer.set_tag(nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
  send_frame(monitor(), answer.SerializeAsString());
  ASSERT_TRUE(run_until([&] { return installed > 0; }));
  send_frame(monitor(), answer.SerializeAsString());
  EXPECT_THROW(run_until([] { return false; }), boost::bad_function_call);
  EXPECT_EQ(installed, 1);
}

TEST_F(ConfigdTest, PeerClosingIsAnIpcError) {
  fd_capture_t err;
  ::close(pair.release(1));
  try {
    run_until([] { return false; });
    FAIL() << "no exception";
  } catch (nb::ErrorCode code) {
    EXPECT_EQ(code, nb::EC_MONITOR_IPC_ERROR);
  }
  EXPECT_EQ(err.text(), "Error: Monitor IPC error: End of file\n");
}

TEST(ConfigdStartTest, DatagramSocketIsRefused) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
  boost::asio::io_context service;
  auto configd = std::make_shared<configd_t>();
  try {
    configd->start(service, fds[0], [](const nb::UpdateConfig&) {});
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::system::errc::wrong_protocol_type);
    EXPECT_TRUE(std::string(e.what()).starts_with("assign: ")) << e.what();
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace upd::testing
