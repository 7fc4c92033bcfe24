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

// Whoever may write to the log's folder must not choose what root appends
// to, nor block the run: what stands there is left alone, and the lines go
// to standard error after an Error line.
TEST_F(LogTest, APlantedLinkOrSpecialFileIsLeftAloneForStandardError) {
  namespace fs = boost::filesystem;
  write_file(path_, "kept\n");
  fs::create_symlink(path_, dir_ / "link");
  fs::create_hard_link(path_, dir_ / "second");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir_ / "folder");
  ::testing::internal::CaptureStderr();
  for (const char* name : {"link", "second", "fifo", "folder"})
    EXPECT_TRUE(std::dynamic_pointer_cast<cf_console_log_t>(make_log(file_log(dir_ / name)))) << name;
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Log: \"" + (dir_ / "link").string() +
                     "\": Too many levels of symbolic links; logging to standard error\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(read_file(path_), "kept\n");
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
