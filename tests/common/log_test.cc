#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/log_config.h"
#include "common/log_sinks.h"
#include "support/fake_monitor.h"

namespace upd {
namespace {

using namespace testing;

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    cf_log_t::set_log(std::make_shared<cf_console_log_t>());
    cf_log_t::level_ = log_notice;
  }
  temp_dir_t dir_;
  boost::filesystem::path path_ = dir_ / "log";
};

// A configuration without a level lets Debug through. An existing file is
// appended to, a new one made with mode 0644, whatever the umask. (The
// end-to-end runs read the lines' "] Level: text" ends.)
TEST_F(LogTest, FileLinesAreAppendedAndNewFilesAreReadableByAll) {
  write_file(path_, "kept\n");
  nb::UpdateConfig config;
  *config.mutable_actual_log() = file_log(path_);
  const mode_t old_mask = ::umask(0);
  apply_log_config(config);
  auto fresh = make_log(file_log(dir_ / "fresh"));
  ::umask(old_mask);
  UPD_LOG(log_debug, "visible " << 42);
  const auto lines = lines_of(read_file(path_));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "kept");
  EXPECT_TRUE(lines[1].ends_with(" [" + std::to_string(::getpid()) + "] Debug: visible 42")) << lines[1];
  EXPECT_EQ(boost::filesystem::status(dir_ / "fresh").permissions(), 0644);
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  cf_log_t::set_log(make_log(file_log(path_)));
  constexpr int threads = 8, lines_each = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < lines_each; ++i) log_message(log_notice, std::string(5000, static_cast<char>('a' + t)));
    });
  // Replacing the logger while others write must not lose or tear a line.
  cf_log_t::set_log(make_log(file_log(path_)));
  for (auto& w : writers) w.join();
  const auto lines = lines_of(read_file(path_));
  ASSERT_EQ(lines.size(), static_cast<size_t>(threads * lines_each));
  for (const auto& line : lines) {
    const auto text = line.substr(line.find("Notice: ") + 8);
    ASSERT_EQ(text.size(), 5000u);
    EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos);
  }
}

}  // namespace
}  // namespace upd
