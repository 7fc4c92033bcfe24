// One whole run against the fake monitor: configuration, attempt, request,
// answer. No zone is enabled, so the request is empty.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <regex>

#include "main/component.h"

namespace upd::testing {
namespace {

TEST(AttemptTest, EmptyRunIsInstalledAndExitsWithSuccess) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
  const auto request = monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->install().ByteSizeLong(), 0u);
  // Only progress came before the request: nothing to fetch.
  ASSERT_FALSE(monitor.skipped.empty());
  for (const auto& message : monitor.skipped) EXPECT_EQ(message.tag(), nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
  monitor.send(install_response());
  EXPECT_EQ(monitor.wait_exit(), 0);
  EXPECT_FALSE(monitor.receive());
  // Everything after the configuration goes to the configured log.
  EXPECT_EQ(monitor.stderr_text(), "");
  const std::string log = read_file(dir / "update.log");
  EXPECT_TRUE(has_lines_in_order(file_log_lines(log),
                                 {"Notice: Update 10.0.0.0.1409222330", "Debug: Network usage: sent 0, received 0 bytes",
                                  "Debug: Monitor: removed 0, updated 0, up to date 0",
                                  "Notice: Exit with status 0 (Success)"}));
  EXPECT_TRUE(log.ends_with("Notice: Exit with status 0 (Success)\n"));
  EXPECT_TRUE(std::regex_search(log, std::regex("\\d{4}-[A-Z][a-z]{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" +
                                                std::to_string(monitor.pid()) + "\\] Notice: Update 10")));
}

// An error answer becomes the exit status; the monitor going away or a
// second configuration ends the run.
TEST(AttemptTest, AnswersAndFaultsAfterTheRequestEndTheRun) {
  const struct {
    int code;
    const char* what;
    std::vector<std::string> lines;
  } cases[] = {
      {24, nullptr, {"Error: Update installation: Permission denied", "Notice: Exit with status 24 (Permission denied)"}},
      {24, "target is read-only", {"Error: Update installation: target is read-only"}},
      {106, nullptr, {"Error: Update installation: No virus bases", "Notice: Exit with status 106 (No virus bases)"}},
      {1, nullptr, {"Error: Monitor IPC error: End of file", "Notice: Exit with status 1 (Error on monitor channel)"}},
      {125, nullptr, {"Error: call to empty boost::function", "Notice: Exit with status 125 (Unexpected error)"}},
  };
  temp_dir_t dir;
  for (const auto& c : cases) {
    fake_monitor_t monitor(component());
    const auto context = use_context(stderr_log(), (dir / "upd").string());
    monitor.send(context);
    ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
    auto response = install_response();
    response.mutable_error()->set_code(static_cast<nb::ErrorCode>(c.code));
    if (c.what) response.mutable_error()->set_what(c.what);
    if (c.code == 1)
      monitor.close_socket();
    else
      monitor.send(c.code == 125 ? context : response);
    EXPECT_EQ(monitor.wait_exit(), c.code);
    EXPECT_TRUE(has_lines_in_order(lines_of(monitor.stderr_text()), c.lines));
  }
}

}  // namespace
}  // namespace upd::testing
