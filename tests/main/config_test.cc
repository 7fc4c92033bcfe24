// Configurations that cannot be applied, and signals while the component
// waits for its configuration or for the monitor's answer.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>

#include "main/component.h"

namespace upd::testing {
namespace {

const char* const bad_config_exit = "Notice: Exit with status 102 (Invalid configuration)";
const char* const terminated_lines =
    "Notice: Termination signal received, exiting...\n"
    "Notice: Exit with status 107 (Process terminated by signal)\n";

TEST(ConfigTest, RelativeLogFileIsABadConfig) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(file_log("relative.log"), (dir / "upd").string()));
  EXPECT_EQ(monitor.wait_exit(), 102);
  EXPECT_EQ(lines_of(monitor.stderr_text()),
            (std::vector<std::string>{
                "Error: Cannot use config: log option: Path must be absolute: \"relative.log\"",
                bad_config_exit}));
  EXPECT_FALSE(monitor.receive());
  EXPECT_FALSE(boost::filesystem::exists(dir / "upd"));
}

TEST(ConfigTest, UnopenableLogFileIsABadConfig) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(file_log(dir / "missing" / "update.log"), (dir / "upd").string()));
  EXPECT_EQ(monitor.wait_exit(), 102);
  EXPECT_EQ(
      lines_of(monitor.stderr_text()),
      (std::vector<std::string>{"Error: Cannot use config: open: No such file or directory: \"" +
                                    (dir / "missing" / "update.log").string() + "\"",
                                bad_config_exit}));
}

TEST(ConfigTest, EmptyUpdateDirIsABadConfig) {
  fake_monitor_t monitor(component());
  monitor.send(use_context(stderr_log(), ""));
  EXPECT_EQ(monitor.wait_exit(), 102);
  EXPECT_EQ(lines_of(monitor.stderr_text()),
            (std::vector<std::string>{
                "Error: Cannot use config: create_directory: No such file or directory",
                bad_config_exit}));
  EXPECT_FALSE(monitor.receive());
}

TEST(ConfigTest, UpdateDirIsCreatedOneLevelOnly) {
  temp_dir_t dir;
  const auto update_dir = dir / "a" / "upd";
  fake_monitor_t monitor(component());
  monitor.send(use_context(stderr_log(), update_dir.string()));
  EXPECT_EQ(monitor.wait_exit(), 102);
  EXPECT_EQ(lines_of(monitor.stderr_text()),
            (std::vector<std::string>{
                "Error: Cannot use config: create_directory: No such file or directory: \"" +
                    update_dir.string() + "\"",
                bad_config_exit}));
}

class TerminationSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignalTest, WhileWaitingForTheConfigurationSendsNothing) {
  fake_monitor_t monitor(component());
  ASSERT_TRUE(monitor.wait_for_handler(GetParam()));
  monitor.kill(GetParam());
  EXPECT_EQ(monitor.wait_exit(), 107);
  EXPECT_EQ(monitor.stderr_text(), terminated_lines);
  EXPECT_FALSE(monitor.receive());
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, TerminationSignalTest, ::testing::Values(SIGTERM, SIGINT));

TEST(SignalTest, TermWhileWaitingForTheInstallationEndsTheRun) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  monitor.kill(SIGTERM);
  EXPECT_EQ(monitor.wait_exit(), 107);
  EXPECT_EQ(monitor.stderr_text(), "");
  EXPECT_TRUE(has_lines_in_order(
      file_log_lines(read_file(dir / "update.log")),
      {"Notice: Termination signal received, exiting...", "Debug: Shutting down worker thread...",
       "Notice: Exit with status 107 (Process terminated by signal)"}));
}

TEST(SignalTest, HangupChangesNothing) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  ASSERT_TRUE(monitor.wait_for_handler(SIGHUP));
  monitor.kill(SIGHUP);
  monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  monitor.kill(SIGHUP);
  monitor.send(install_response());
  EXPECT_EQ(monitor.wait_exit(), 0);
  EXPECT_EQ(monitor.stderr_text(), "");
  for (const auto& line : file_log_lines(read_file(dir / "update.log"))) {
    EXPECT_FALSE(line.starts_with("Debug: Signal handler")) << line;
    EXPECT_FALSE(line.starts_with("Notice: Termination signal")) << line;
  }
}

}  // namespace
}  // namespace upd::testing
