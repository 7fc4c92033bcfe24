// The monitor's side of an update run, against the stand-in component
// fake-update, which follows the plan of steps the test writes.
#include "update_run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <sstream>

#include "child_process.h"
#include "support/test_support.h"

namespace upd::monitor {
namespace {

namespace fs = boost::filesystem;
using upd::testing::read_file;
using upd::testing::write_file;

class UpdateRunTest : public ::testing::Test {
 protected:
  UpdateRunTest() {
    ::setenv("FAKE_UPDATE_PLAN", (dir_ / "plan").c_str(), 1);
    config_.set_update_dir((dir_ / "update").string());
    config_.set_virus_base_dir((dir_ / "bases").string());
  }
  ~UpdateRunTest() override { ::unsetenv("FAKE_UPDATE_PLAN"); }

  run_outcome_t run(const std::string& plan) {
    write_file(dir_ / "plan", plan);
    return run_update(FAKE_UPDATE_PATH, config_, display_);
  }

  fs::path staged(const std::string& name) const { return dir_ / "update" / name; }
  fs::path base(const std::string& name) const { return dir_ / "bases" / name; }

  upd::testing::temp_dir_t dir_;
  nb::UpdateConfig config_;
  std::ostringstream out_, err_;
  progress_display_t display_{display_style_t::lines, out_, err_};
};

TEST_F(UpdateRunTest, ShowsProgressInstallsAndAnswersAndTheComponentEndsWithSuccess) {
  fs::create_directories(staged("bases"));
  write_file(staged("bases/daily.vdb"), "daily");
  fs::create_directories(dir_ / "bases");
  write_file(base("old.vdb"), "old");
  const run_outcome_t outcome = run(
      "say Notice: Update 10.0.0.0.1409222330\n"
      "send tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 100 bytes_checked: 0 }\n"
      "send tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 100 bytes_checked: 100 }\n"
      "send tag: MY_PROGRESS_NOTIFICATION download { files_to_process: 1 files_processed: 0 bytes_to_process: 5 "
      "bytes_processed: 0 current_file: 'daily.vdb' }\n"
      "send tag: STAT_NOTIFICATION stat { bytes_sent: 40 bytes_received: 500 }\n"
      "send tag: MY_PROGRESS_NOTIFICATION download { files_to_process: 1 files_processed: 1 "
      "bytes_to_process: 5 bytes_processed: 5 }\n"
      "request to_place { source: '" + staged("bases/daily.vdb").string() + "' destination: '" +
      base("daily.vdb").string() + "' } to_remove: '" + base("old.vdb").string() + "' up_to_date: '" +
      base("main.vdb").string() + "'\n");
  display_.finish();
  // The stand-in ends with the code of the answer it got.
  EXPECT_EQ(exit_code_of(outcome.wait_status), 0) << err_.str();
  EXPECT_FALSE(outcome.interrupted);
  ASSERT_TRUE(outcome.installed);
  EXPECT_EQ(outcome.installed->placed, 1u);
  EXPECT_EQ(out_.str(),
            "Checking local files: 100 bytes\n"
            "Checked 100 bytes\n"
            "Downloading 1 files, 5 bytes\n"
            "[1/1] daily.vdb\n"
            "Downloaded 1 files, 5 bytes\n"
            "Installing 1 file, removing 1 file, 1 up to date\n"
            "Installed 1 file, removed 1 file\n"
            "Network: sent 40 bytes, received 500 bytes\n");
  EXPECT_EQ(err_.str(), "Notice: Update 10.0.0.0.1409222330\n");
  EXPECT_EQ(read_file(base("daily.vdb")), "daily");
  EXPECT_FALSE(fs::exists(base("old.vdb")));
}

// A failed installation is answered with its error, which the component
// makes its exit status; a protocol violation closes the link (what the
// component says then depends on whether its request was already written,
// so only the monitor's line is compared); a termination signal is passed on.
TEST_F(UpdateRunTest, FailuresAndSignalsEndTheComponentWithTheirStatus) {
  const std::string missing = staged("bases/missing.vdb").string();
  const struct {
    std::string plan;
    int status;
    std::string line;  // in the monitor's error output
  } cases[] = {
      {"request to_place { source: '" + missing + "' destination: '" + base("missing.vdb").string() + "' }\n",
       nb::EC_NO_SUCH_ENTRY, "Installation failed: Cannot open \"" + missing + "\": No such file or directory\n"},
      {"garbage\nrequest\n", nb::EC_MONITOR_IPC_ERROR,
       "nimbo-monitor: link to the component: protocol violation: a message from the component does not parse\n"},
      {"request\nrequest\n", nb::EC_MONITOR_IPC_ERROR,
       "nimbo-monitor: link to the component: protocol violation: a second installation request\n"},
      {"signal-parent 15\n", 128 + SIGTERM, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plan);
    err_.str("");
    const run_outcome_t outcome = run(c.plan);
    EXPECT_EQ(exit_code_of(outcome.wait_status), c.status);
    EXPECT_EQ(outcome.interrupted, c.status == 128 + SIGTERM);
    EXPECT_NE(err_.str().find(c.line), std::string::npos) << err_.str();
    if (outcome.interrupted) {
      EXPECT_EQ(describe_wait_status(outcome.wait_status), "was killed by signal 15 (Terminated)");
    }
  }
}

}  // namespace
}  // namespace upd::monitor
