#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "common/log_config.h"
#include "common/log_sinks.h"
#include "support/fake_monitor.h"
#include "support/test_support.h"

namespace upd {
namespace {

using upd::testing::fd_capture_t;
using upd::testing::file_log;
using upd::testing::lines_of;
using upd::testing::read_file;
using upd::testing::temp_dir_t;
using upd::testing::write_file;

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    cf_log_t::set_log(std::make_shared<cf_console_log_t>());
    cf_log_t::level_ = log_notice;
  }
  temp_dir_t dir_;
};

TEST(LogLevels, NamesAndTheirInverse) {
  EXPECT_STREQ(level_name(0), "Debug");
  EXPECT_STREQ(level_name(4), "Error");
  EXPECT_STREQ(level_name(7), "Unknown");
  EXPECT_STREQ(level_name(-1), "Unknown");
  EXPECT_EQ(level_by_name("Warning"), 3);
  EXPECT_EQ(level_by_name("warning"), 4);
  EXPECT_EQ(level_by_name("anything"), 4);
  EXPECT_EQ(level_from_config(nb::LOG_LEVEL_DEBUG), 0);
  EXPECT_EQ(level_from_config(nb::LOG_LEVEL_ERROR), 4);
}

TEST(LogLevels, FacilitiesAndSyslogPriorities) {
  EXPECT_EQ(facility_from_config(nb::Log::USER), LOG_USER);
  EXPECT_EQ(facility_from_config(nb::Log::LOCAL7), LOG_LOCAL7);
  EXPECT_EQ(facility_from_config(nb::Log::DAEMON), LOG_DAEMON);
  EXPECT_EQ(facility_from_config(static_cast<nb::Log::LogFacility>(99)), LOG_DAEMON);
  EXPECT_EQ(cf_syslog_log_t::priority(0), LOG_DEBUG);
  EXPECT_EQ(cf_syslog_log_t::priority(4), LOG_ERR);
  EXPECT_EQ(cf_syslog_log_t::priority(9), LOG_ERR);
}

TEST_F(LogTest, FileLinesCarryTimestampAndProcessId) {
  const auto path = dir_ / "log";
  cf_log_t::set_log(make_log(file_log(path)));
  log_message(log_notice, "hello");
  log_tagged("tag", -3, "tagged");
  const auto lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), 2u);
  const std::string stamp = R"(\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d\d \d\d:\d\d:\d\d)";
  const std::string pid = std::to_string(::getpid());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + " \\[" + pid + "\\] Notice: hello")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + " \\[tag--3\\] tagged"))) << lines[1];
}

TEST_F(LogTest, FileLogAppendsAndCreatesWithMode0644) {
  const auto existing = dir_ / "existing";
  write_file(existing, "kept\n");
  cf_log_t::set_log(make_log(file_log(existing)));
  log_message(log_error, "more");
  EXPECT_EQ(read_file(existing).rfind("kept\n", 0), 0u);
  EXPECT_NE(read_file(existing).find("Error: more\n"), std::string::npos);

  const mode_t old_mask = ::umask(0);
  const auto fresh = dir_ / "fresh";
  auto logger = make_log(file_log(fresh));
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(LogTest, RelativeFilePathFailsAndKeepsThePreviousLogger) {
  const auto path = dir_ / "log";
  cf_log_t::set_log(make_log(file_log(path)));
  try {
    make_log(file_log("relative.log"));
    FAIL() << "accepted a relative path";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(code_from_error(e.code()), nb::EC_NOT_ABSOLUTE_PATH);
    EXPECT_NE(std::string(e.what()).find("log option"), std::string::npos);
  }
  log_message(log_notice, "still here");
  EXPECT_NE(read_file(path).find("Notice: still here"), std::string::npos);
}

TEST_F(LogTest, UnopenableFileFailsWithTheSystemError) {
  try {
    make_log(file_log(dir_ / "missing" / "log"));
    FAIL() << "opened a file in a missing directory";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(code_from_error(e.code()), nb::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(std::string(e.what()).rfind("open", 0), 0u);
  }
}

TEST_F(LogTest, StandardErrorLinesArePlainUnlessTimestamped) {
  nb::Log description;
  description.set_type(nb::Log::STDERR);
  {
    fd_capture_t captured;
    cf_log_t::set_log(make_log(description));
    log_message(log_warning, "plain");
    EXPECT_EQ(captured.text(), "Warning: plain\n");
  }
  description.set_show_timestamp(true);
  {
    fd_capture_t captured;
    cf_log_t::set_log(make_log(description));
    log_message(log_warning, "stamped");
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(std::regex_match(captured.text(),
                                 std::regex(".{20} \\[" + pid + "\\] Warning: stamped\n")));
  }
}

TEST_F(LogTest, AutoBuildsNoLogger) {
  nb::Log description;
  description.set_type(nb::Log::AUTO);
  EXPECT_EQ(make_log(description), nullptr);
}

TEST_F(LogTest, ConfigurationWithoutLevelLetsDebugThrough) {
  nb::UpdateConfig config;
  *config.mutable_actual_log() = file_log(dir_ / "log");
  apply_log_config(config);
  EXPECT_EQ(cf_log_t::level_, log_debug);
  UPD_LOG(log_debug, "visible " << 42);
  EXPECT_NE(read_file(dir_ / "log").find("Debug: visible 42"), std::string::npos);
}

TEST_F(LogTest, ProtobufLargeMessageWarningIsDropped) {
  const auto path = dir_ / "log";
  cf_log_t::set_log(make_log(file_log(path)));
  protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 1,
                       "Reading dangerously large protocol message.  If the message turns out");
  protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 1, "other warning");
  protobuf_log_handler(google::protobuf::LOGLEVEL_INFO, "f.cc", 1, "below the threshold");
  const auto lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Warning: other warning"), std::string::npos);
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  const auto path = dir_ / "log";
  cf_log_t::set_log(make_log(file_log(path)));
  constexpr int threads = 8, lines_each = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([t] {
      const std::string body(5000, static_cast<char>('a' + t));
      for (int i = 0; i < lines_each; ++i) log_message(log_notice, body);
    });
  // Replacing the logger while others write must not lose or tear a line.
  cf_log_t::set_log(make_log(file_log(path)));
  for (auto& w : writers) w.join();
  const auto lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(threads * lines_each));
  for (const auto& line : lines) {
    const auto text = line.substr(line.find("Notice: ") + 8);
    ASSERT_EQ(text.size(), 5000u);
    EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos);
  }
}

}  // namespace
}  // namespace upd
