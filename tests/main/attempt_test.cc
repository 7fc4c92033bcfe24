// One whole run against the fake monitor: configuration, attempt, request,
// answer. No zone is enabled, so the request is empty.
#include <gtest/gtest.h>

#include <algorithm>
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
  ASSERT_TRUE(request->has_install());
  EXPECT_EQ(request->install().to_place_size(), 0);
  EXPECT_EQ(request->install().to_remove_size(), 0);
  EXPECT_EQ(request->install().up_to_date_size(), 0);

  // Only progress came before the request; its download totals are those of
  // an attempt without zones: nothing to fetch.
  const nb::UpdateDownloadProgress* download = nullptr;
  for (const auto& message : monitor.skipped) {
    EXPECT_EQ(message.tag(), nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    if (message.has_download()) download = &message.download();
  }
  ASSERT_TRUE(download);
  EXPECT_EQ(download->files_to_process(), 0u);
  EXPECT_EQ(download->bytes_to_process(), 0u);
  EXPECT_FALSE(download->has_current_file());

  monitor.send(install_response());
  EXPECT_EQ(monitor.wait_exit(), 0);
  EXPECT_FALSE(monitor.receive());
  EXPECT_TRUE(boost::filesystem::is_directory(dir / "upd"));
  // Everything after the configuration goes to the configured log.
  EXPECT_EQ(monitor.stderr_text(), "");
  const auto lines = file_log_lines(read_file(dir / "update.log"));
  EXPECT_TRUE(has_lines_in_order(lines, {"Notice: Update 10.0.0.0.1409222330",
                                         "Debug: Network usage: sent 0, received 0 bytes",
                                         "Debug: Monitor: removed 0, updated 0, up to date 0",
                                         "Notice: Exit with status 0 (Success)"}));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Notice: Exit with status 0 (Success)");
}

TEST(AttemptTest, FileLogLinesCarryTimestampAndProcessId) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(file_log(dir / "update.log"), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  monitor.send(install_response());
  EXPECT_EQ(monitor.wait_exit(), 0);
  // The worker thread may log before the controller's version line.
  const std::regex version_line("\\d{4}-[A-Z][a-z]{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" +
                                std::to_string(monitor.pid()) +
                                "\\] Notice: Update 10\\.0\\.0\\.0\\.1409222330");
  const auto lines = lines_of(read_file(dir / "update.log"));
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return std::regex_match(line, version_line); }),
      1);
}

struct answer_case_t {
  const char* name;
  int code;
  const char* what;  // null: none
  const char* line;
  const char* exit_line;
};

void PrintTo(const answer_case_t& answer, std::ostream* out) { *out << answer.name; }

class InstallAnswerTest : public ::testing::TestWithParam<answer_case_t> {};

TEST_P(InstallAnswerTest, ErrorAnswerBecomesTheExitStatus) {
  const auto& answer = GetParam();
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(stderr_log(), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  auto response = install_response();
  response.mutable_error()->set_code(static_cast<nb::ErrorCode>(answer.code));
  if (answer.what) response.mutable_error()->set_what(answer.what);
  monitor.send(response);
  EXPECT_EQ(monitor.wait_exit(), answer.code);
  EXPECT_TRUE(has_lines_in_order(lines_of(monitor.stderr_text()), {answer.line, answer.exit_line}));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, InstallAnswerTest,
    ::testing::Values(answer_case_t{"CodeOnly", 24, nullptr,
                                    "Error: Update installation: Permission denied",
                                    "Notice: Exit with status 24 (Permission denied)"},
                      answer_case_t{"CodeAndWhat", 24, "target is read-only",
                                    "Error: Update installation: target is read-only",
                                    "Notice: Exit with status 24 (Permission denied)"},
                      answer_case_t{"CodeOfAnotherComponent", 106, nullptr,
                                    "Error: Update installation: No virus bases",
                                    "Notice: Exit with status 106 (No virus bases)"}),
    [](const ::testing::TestParamInfo<answer_case_t>& info) {
      return std::string(info.param.name);
    });

TEST(AttemptTest, SecondUseContextEndsTheRun) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  const auto context = use_context(stderr_log(), (dir / "upd").string());
  monitor.send(context);
  monitor.send(context);
  EXPECT_EQ(monitor.wait_exit(), 125);
  EXPECT_TRUE(has_lines_in_order(
      lines_of(monitor.stderr_text()),
      {"Notice: Update 10.0.0.0.1409222330", "Error: call to empty boost::function",
       "Notice: Exit with status 125 (Unexpected error)"}));
}

TEST(AttemptTest, MonitorClosingAfterTheRequestEndsTheRun) {
  temp_dir_t dir;
  fake_monitor_t monitor(component());
  monitor.send(use_context(stderr_log(), (dir / "upd").string()));
  ASSERT_TRUE(monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST));
  monitor.close_socket();
  EXPECT_EQ(monitor.wait_exit(), 1);
  EXPECT_TRUE(has_lines_in_order(lines_of(monitor.stderr_text()),
                                 {"Error: Monitor IPC error: End of file",
                                  "Notice: Exit with status 1 (Error on monitor channel)"}));
}

}  // namespace
}  // namespace upd::testing
