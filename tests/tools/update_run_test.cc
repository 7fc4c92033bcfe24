#include "update_run.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <sstream>

#include "child_process.h"
#include "fake_component.h"

namespace upd::monitor {
namespace {

namespace fs = boost::filesystem;
using upd::testing::read_file;
using upd::testing::write_file;

class UpdateRunTest : public ::testing::Test {
 protected:
  UpdateRunTest() {
    config_.set_update_dir((dir_ / "update").string());
    config_.set_virus_base_dir((dir_ / "bases").string());
    config_.set_network_timeout(1234);
  }

  run_outcome_t run(const std::string& plan) {
    fake_.plan(plan);
    return run_update(fake_.program(), config_, display_);
  }

  fs::path staged(const std::string& name) const { return dir_ / "update" / name; }
  fs::path base(const std::string& name) const { return dir_ / "bases" / name; }

  upd::testing::temp_dir_t dir_;
  testing::fake_component_t fake_;
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
  const std::string record = fake_.record();
  EXPECT_NE(record.find("network_timeout: 1234\n"), std::string::npos) << record;
  EXPECT_TRUE(record.ends_with("# answer\ntag: INSTALL_UPDATES_RESPONSE\n")) << record;
}

TEST_F(UpdateRunTest, AFailedInstallationIsAnsweredWithItsErrorAndBecomesTheExitStatus) {
  const run_outcome_t outcome =
      run("request to_place { source: '" + staged("bases/missing.vdb").string() + "' destination: '" +
          base("missing.vdb").string() + "' }\n");
  EXPECT_EQ(exit_code_of(outcome.wait_status), nb::EC_NO_SUCH_ENTRY);
  ASSERT_TRUE(outcome.installed && outcome.installed->error);
  const std::string what = "Cannot open \"" + staged("bases/missing.vdb").string() + "\": No such file or directory";
  EXPECT_EQ(err_.str(), "Installation failed: " + what + "\n");
  EXPECT_NE(fake_.record().find("error {\n  code: EC_NO_SUCH_ENTRY\n  what: \"Cannot open \\\""), std::string::npos)
      << fake_.record();
}

// What the component says after the link closes depends on whether its
// request was written before, so only the monitor's line is compared.
TEST_F(UpdateRunTest, ProtocolViolationsCloseTheLinkAndEndTheComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"garbage\nrequest\n", "a message from the component does not parse\n"},
      {"request\nrequest\n", "a second installation request\n"},
  };
  for (const auto& [plan, violation] : cases) {
    err_.str("");
    const run_outcome_t outcome = run(plan);
    EXPECT_EQ(exit_code_of(outcome.wait_status), nb::EC_MONITOR_IPC_ERROR);
    EXPECT_NE(err_.str().find("nimbo-monitor: link to the component: protocol violation: " + std::string(violation)),
              std::string::npos)
        << err_.str();
  }
}

TEST_F(UpdateRunTest, ATerminationSignalIsPassedOnToTheComponent) {
  const run_outcome_t outcome = run("signal-parent 15\n");
  EXPECT_TRUE(outcome.interrupted);
  EXPECT_EQ(exit_code_of(outcome.wait_status), 128 + SIGTERM);
  EXPECT_EQ(describe_wait_status(outcome.wait_status), "was killed by signal 15 (Terminated)");
}

}  // namespace
}  // namespace upd::monitor
