#include "progress_display.h"

#include <gtest/gtest.h>

#include <sstream>

namespace upd::monitor {
namespace {

nb::UpdateCheckProgress check(std::uint32_t total, std::uint32_t done) {
  nb::UpdateCheckProgress p;
  p.set_bytes_to_check(total);
  p.set_bytes_checked(done);
  return p;
}

nb::UpdateDownloadProgress download(std::uint32_t files, std::uint32_t files_done, std::uint32_t bytes,
                                    std::uint32_t bytes_done, const std::string& file = "") {
  nb::UpdateDownloadProgress p;
  p.set_files_to_process(files);
  p.set_files_processed(files_done);
  p.set_bytes_to_process(bytes);
  p.set_bytes_processed(bytes_done);
  if (!file.empty()) p.set_current_file(file);
  return p;
}

nb::UpdateAppStat stat(std::uint32_t sent, std::uint32_t received) {
  nb::UpdateAppStat s;
  s.set_bytes_sent(sent);
  s.set_bytes_received(received);
  return s;
}

class DisplayTest : public ::testing::Test {
 protected:
  progress_display_t make(display_style_t style, int width = 120) {
    return progress_display_t(style, out_, err_, width, [this] { return now_; });
  }
  void advance(double seconds) {
    now_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  }

  std::ostringstream out_, err_;
  std::chrono::steady_clock::time_point now_{};
};

TEST_F(DisplayTest, LinesSayEachStageEachFileAndTheTotals) {
  auto display = make(display_style_t::lines);
  display.check_progress(check(1000, 0));
  display.check_progress(check(1000, 500));
  display.check_progress(check(1000, 1000));
  display.check_progress(check(1000, 1000));
  display.download_progress(download(3, 0, 300, 0));
  display.download_progress(download(3, 0, 300, 0, "timestamp"));
  display.download_progress(download(3, 0, 300, 0, "timestamp"));
  display.download_progress(download(3, 1, 300, 10, "a.vdb"));
  display.stat(stat(10, 200));
  display.download_progress(download(3, 2, 300, 100, "timestamp"));
  display.error_line("Notice: from the component");
  display.download_progress(download(3, 3, 300, 300));
  display.stat(stat(5, 100));
  display.finish();
  display.check_progress(check(0, 0));  // the next run starts afresh
  display.finish();
  EXPECT_EQ(out_.str(),
            "Checking local files: 1000 bytes\n"
            "Checked 1000 bytes\n"
            "Downloading 3 files, 300 bytes\n"
            "[1/3] timestamp\n"
            "[2/3] a.vdb\n"
            "[3/3] timestamp\n"
            "Downloaded 3 files, 300 bytes\n"
            "Network: sent 15 bytes, received 300 bytes\n"
            "Checking local files: 0 bytes\n"
            "Network: sent 0 bytes, received 0 bytes\n");
  EXPECT_EQ(err_.str(), "Notice: from the component\n");
}

TEST_F(DisplayTest, BarRedrawsOneLineKeepsFinishedStagesAndMakesRoomForOtherLines) {
  auto display = make(display_style_t::bar);
  display.check_progress(check(2048, 0));
  advance(2);
  display.check_progress(check(2048, 1024));
  display.download_progress(download(2, 0, 3 << 20, 0, "daily.vdb"));
  advance(1);
  display.stat(stat(100, 1536));
  display.error_line("Notice: Downloaded daily.vdb (1536 bytes)");
  display.end_stage();
  display.note("Installing 2 files");
  display.stat(stat(0, 0));
  display.finish();
  EXPECT_EQ(out_.str(),
            "\rChecking    [....................]   0%  0 B of 2.0 KiB  --\033[K"
            "\rChecking    [##########..........]  50%  1.0 KiB of 2.0 KiB  512 B/s\033[K"
            "\n"
            "\rDownloading [....................]   0%  0 B of 3.0 MiB  0/2 files  --  daily.vdb\033[K"
            "\rDownloading [....................]   0%  0 B of 3.0 MiB  0/2 files  1.5 KiB/s  daily.vdb\033[K"
            "\r\033[K"
            "\rDownloading [....................]   0%  0 B of 3.0 MiB  0/2 files  1.5 KiB/s  daily.vdb\033[K"
            "\n"
            "Installing 2 files\n"
            "Network: sent 100 bytes, received 1536 bytes\n");
  EXPECT_EQ(err_.str(), "Notice: Downloaded daily.vdb (1536 bytes)\n");
}

TEST_F(DisplayTest, BarIsCutToTheTerminalWidth) {
  auto display = make(display_style_t::bar, 30);
  display.check_progress(check(100, 100));
  EXPECT_EQ(out_.str(), "\rChecking    [################\033[K");
}

TEST_F(DisplayTest, OffShowsOnlyNotesOutputAndTotals) {
  auto display = make(display_style_t::off);
  display.check_progress(check(100, 100));
  display.download_progress(download(1, 1, 5, 5, "x"));
  display.note("note");
  display.error_line("output");
  display.finish();
  EXPECT_EQ(out_.str(), "note\nNetwork: sent 0 bytes, received 0 bytes\n");
  EXPECT_EQ(err_.str(), "output\n");
}

TEST(HumanBytes, UsesBinaryUnitsWithOneDecimal) {
  const std::pair<double, const char*> cases[] = {
      {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"}, {5.0 * (1 << 20), "5.0 MiB"},
      {3.0 * (1u << 30), "3.0 GiB"}, {2048.0 * (1u << 30) * 1024, "2048.0 TiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(human_bytes(bytes), text) << bytes;
}

}  // namespace
}  // namespace upd::monitor
