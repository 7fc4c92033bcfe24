// Configurations that cannot be applied, and signals while the component
// waits for its configuration or for the monitor's answer.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>

#include "main/component.h"

namespace upd::testing {
namespace {

TEST(ConfigTest, UnusableLogOrUpdateDirIsABadConfig) {
  temp_dir_t dir;
  const auto nested = dir / "a" / "upd";
  const std::string no_entry = "create_directory: No such file or directory";
  const struct {
    nb::Log log;
    std::string update_dir, error;
  } cases[] = {
      {file_log("relative.log"), (dir / "upd").string(), "log option: Path must be absolute: \"relative.log\""},
      {file_log(dir / "missing" / "u.log"), (dir / "upd").string(),
       "open: No such file or directory: \"" + (dir / "missing" / "u.log").string() + "\""},
      {stderr_log(), "", no_entry},
      // The update folder is made one level only.
      {stderr_log(), nested.string(), no_entry + ": \"" + nested.string() + "\""},
  };
  for (const auto& c : cases) {
    fake_monitor_t monitor(component());
    monitor.send(use_context(c.log, c.update_dir));
    EXPECT_EQ(monitor.wait_exit(), 102);
    EXPECT_EQ(monitor.stderr_text(),
              "Error: Cannot use config: " + c.error + "\nNotice: Exit with status 102 (Invalid configuration)\n");
    EXPECT_FALSE(monitor.receive());
    EXPECT_FALSE(boost::filesystem::exists(dir / "upd"));
  }
}

TEST(SignalTest, TermAndIntEndTheRunHangupChangesNothing) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    fake_monitor_t monitor(component());
    ASSERT_TRUE(monitor.wait_for_handler(signal_number));
    monitor.kill(signal_number);
    EXPECT_EQ(monitor.wait_exit(), 107);
    EXPECT_EQ(monitor.stderr_text(), "Notice: Termination signal received, exiting...\n"
                                     "Notice: Exit with status 107 (Process terminated by signal)\n");
  }
  temp_dir_t dir;
  for (int signal_number : {SIGHUP, SIGTERM}) {
    fake_monitor_t monitor(component());
    ASSERT_TRUE(monitor.wait_for_handler(SIGHUP));
    monitor.kill(SIGHUP);
    monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
    ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
    monitor.kill(signal_number);
    if (signal_number == SIGHUP) monitor.send(install_response());
    EXPECT_EQ(monitor.wait_exit(), signal_number == SIGHUP ? 0 : 107);
    EXPECT_EQ(monitor.stderr_text(), "");
  }
  EXPECT_TRUE(has_lines_in_order(file_log_lines(read_file(dir / "update.log")),
                                 {"Notice: Exit with status 0 (Success)", "Notice: Termination signal received, exiting...",
                                  "Debug: Shutting down worker thread...",
                                  "Notice: Exit with status 107 (Process terminated by signal)"}));
}

}  // namespace
}  // namespace upd::testing
