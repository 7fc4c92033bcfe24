// The monitor's side of an update run, against the stand-in component
// fake-update, which follows the plan of steps the test writes.
#include "update_run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <map>
#include <sstream>

#include "child_process.h"
#include "run_metrics.h"
#include "run_schedule.h"
#include "support/test_support.h"

namespace upd::monitor {
namespace {

namespace fs = boost::filesystem;
using upd::testing::read_file;
using upd::testing::write_file;

// The progress is shown and the request installed and answered; a failed
// installation is answered with its error, which the component makes its
// exit status; a protocol violation closes the link (what the component
// says then depends on whether its request was already written, so only the
// monitor's line is looked for); a termination signal is passed on.
TEST(UpdateRun, ShowsProgressInstallsAndAnswersAndTheComponentEndsWithItsStatus) {
  upd::testing::temp_dir_t dir;
  ::setenv("FAKE_UPDATE_PLAN", (dir / "plan").c_str(), 1);
  const fs::path staged = dir / "update" / "bases", bases = dir / "bases";
  nb::UpdateConfig config;
  config.set_update_dir((dir / "update").string());
  config.set_virus_base_dir(bases.string());
  std::ostringstream out, err;
  progress_display_t display{display_style_t::lines, out, err};
  fs::create_directories(staged);
  write_file(staged / "daily.vdb", "daily");
  fs::create_directories(bases);
  write_file(bases / "old.vdb", "old");
  const std::string missing = (staged / "missing.vdb").string();
  const std::string no_traffic = "Network: sent 0 bytes, received 0 bytes\n";
  const struct {
    std::string plan;
    int status;
    std::string out, err;  // the whole standard output; a line of the error output (all of it on success)
  } cases[] = {
      {"send tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 100 bytes_checked: 0 }\n"
       "send tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 100 bytes_checked: 100 }\n"
       "send tag: MY_PROGRESS_NOTIFICATION download { files_to_process: 1 files_processed: 0 bytes_to_process: 5 "
       "bytes_processed: 0 current_file: 'daily.vdb' }\n"
       "send tag: STAT_NOTIFICATION stat { bytes_sent: 40 bytes_received: 500 }\n"
       "send tag: MY_PROGRESS_NOTIFICATION download { files_to_process: 1 files_processed: 1 "
       "bytes_to_process: 5 bytes_processed: 5 }\n"
       "request to_place { source: '" + (staged / "daily.vdb").string() + "' destination: '" +
           (bases / "daily.vdb").string() + "' } to_remove: '" + (bases / "old.vdb").string() + "' up_to_date: '" +
           (bases / "main.vdb").string() + "'\n",
       0,
       "Checking local files: 100 bytes\n"
       "Checked 100 bytes\n"
       "Downloading 1 file, 5 bytes\n"
       "[1/1] daily.vdb\n"
       "Downloaded 1 file, 5 bytes\n"
       "Installing 1 file, removing 1 file, 1 up to date\n"
       "Installed 1 file, removed 1 file\n"
       "Network: sent 40 bytes, received 500 bytes\n",
       ""},
      {"request to_place { source: '" + missing + "' destination: '" + (bases / "missing.vdb").string() + "' }\n",
       nb::EC_NO_SUCH_ENTRY, "Installing 1 file, removing 0 files, 0 up to date\n" + no_traffic,
       "Installation failed: Cannot open \"" + missing + "\": No such file or directory\n"},
      {"garbage\nrequest\n", nb::EC_MONITOR_IPC_ERROR, no_traffic,
       "nimbo-monitor: link to the component: protocol violation: a message from the component does not parse\n"},
      {"request\nrequest\n", nb::EC_MONITOR_IPC_ERROR,
       "Installing 0 files, removing 0 files, 0 up to date\nInstalled 0 files, removed 0 files\n" + no_traffic,
       "nimbo-monitor: link to the component: protocol violation: a second installation request\n"},
      {"signal-parent 15\n", 128 + SIGTERM, no_traffic, ""},
      {"oops\n", 125, no_traffic, "fake-update: bad step: oops\n"},
      // What the component says is shown, never obeyed by the terminal.
      {"\x1b]0;owned\x07\r\n", 125, no_traffic, "fake-update: bad step: \\x1b]0;owned\\x07\\x0d\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plan);
    out.str("");
    err.str("");
    write_file(dir / "plan", c.plan);
    const run_outcome_t outcome = run_update(FAKE_UPDATE_PATH, config, display, install_mode_t::install);
    display.finish();
    EXPECT_EQ(exit_code_of(outcome.wait_status), c.status) << err.str();
    EXPECT_EQ(outcome.interrupted, c.status == 128 + SIGTERM);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(outcome.installed.has_value(), c.out.find("Installing ") != std::string::npos);
    EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find("\n\n"), std::string::npos) << err.str();
    if (c.status == 0) {
      EXPECT_EQ(err.str(), c.err);  // nothing else
    }
  }
  EXPECT_EQ(read_file(bases / "daily.vdb"), "daily");
  EXPECT_FALSE(fs::exists(bases / "old.vdb"));
  ::unsetenv("FAKE_UPDATE_PLAN");
}

// The samples of a metrics file by name and labels; every other line is a
// HELP or TYPE comment.
std::map<std::string, double> samples_of(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.starts_with("# HELP nimbo_update_") && !line.starts_with("# TYPE nimbo_update_"))
      samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
  return samples;
}

// Each run replaces the record in the update directory whole (a reader
// holding the old one keeps it intact), shows its status, and the last
// success outlives failed runs; a record that cannot be read is named.
TEST(RunMetrics, EachRunReplacesTheFileWithParsableSamplesAndKeepsTheLastSuccess) {
  upd::testing::temp_dir_t dir;
  const fs::path path = last_run_path(dir.path().string());
  try {
    read_metrics(path);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), path.string() + ": open: No such file or directory");
  }
  const struct {
    double started;
    int status;
    double last_success;  // 0: none
  } runs[] = {{100, nb::EC_NETWORK_ERROR, 0}, {200, 0, 200}, {300, nb::EC_BAD_DRL_FILE, 200}};
  std::string previous;
  for (const auto& run : runs) {
    SCOPED_TRACE(run.started);
    std::ifstream old(path);
    write_metrics(path, with_last_success({.started = run.started,
                                           .status = run.status,
                                           .serials = {{"BASE", {"202612061700", true, 1796000000}},
                                                       {"NBS", {"7", false}}},
                                           .waits = {{"BASE", 1796000100}}},
                                          path));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), previous);
    previous = read_file(path);
    auto samples = samples_of(previous);
    EXPECT_EQ(samples["nimbo_update_exit_status"], run.status);
    EXPECT_EQ(samples["nimbo_update_list_serial{zone=\"BASE\",signed=\"true\"}"], 202612061700.0);
    EXPECT_EQ(samples["nimbo_update_list_signature_expiry_timestamp_seconds{zone=\"BASE\"}"], 1796000000.0);
    EXPECT_EQ(samples.count("nimbo_update_list_signature_expiry_timestamp_seconds{zone=\"NBS\"}"), 0u);
    EXPECT_EQ(read_metrics(path).serials["BASE"].expires, 1796000000);
    EXPECT_EQ(samples["nimbo_update_server_wait_until_timestamp_seconds{zone=\"BASE\"}"], 1796000100.0);
    EXPECT_NE(status_text(read_metrics(path)).find("BASE wait:    a server asked not to be asked before "), std::string::npos);
    EXPECT_EQ(samples.count("nimbo_update_last_success_timestamp_seconds"), run.last_success != 0);
    EXPECT_EQ(samples["nimbo_update_last_success_timestamp_seconds"], run.last_success);
    EXPECT_EQ(status_text(read_metrics(path)).find("Last success: never") != std::string::npos, !run.last_success);
  }
}

// After a run that every server of a zone turned away, the next one waits
// until the last such zone may be asked again; other failures as before.
TEST(RunSchedule, ARunTurnedAwayWaitsUntilItsZonesMayBeAskedAgain) {
  const std::vector<server_wait_t> waits = {{"BASE", "http://a/", 1500}, {"BASE", "", 1400}, {"NBS", "", 1300}};
  EXPECT_EQ(wait_asked(waits, nb::EC_NO_UPDATE_SERVERS, 1000), std::chrono::seconds(400));
  EXPECT_EQ(wait_asked(waits, nb::EC_NETWORK_ERROR, 1000), std::chrono::seconds(0));
  EXPECT_EQ(wait_asked({waits.front()}, nb::EC_NO_UPDATE_SERVERS, 1000), std::chrono::seconds(0));
}

}  // namespace
}  // namespace upd::monitor
