// The real program as root on a shared machine: one run per update
// directory, no going back to an older list, nothing removed that the next
// run needs, failures that say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <random>
#include <thread>

#include "support/child_process.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

using SafetyRun = UpdateRunTest;

TEST_F(SafetyRun, ALockedUpdateDirectoryEndsTheRunAtOnceAndUntouched) {
  write_drl({publish({{"a.vdb", "a"}})});
  const int holder = ::open((update_ / "nimbo-update.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_FALSE(refused.request);
  EXPECT_TRUE(has_line(refused, "Error: Update lock: \"" +
                                    (update_ / "nimbo-update.lock").string() +
                                    "\": Operation is already in progress"));
  EXPECT_EQ(std::distance(fs::directory_iterator(update_), fs::directory_iterator()), 1);
  ::close(holder);
  EXPECT_EQ(run().exit_status, 0);
}

// Two reference monitors started moments apart on one configuration: the
// one that finds the directory locked gives up, the other installs, and
// whatever succeeded left exactly the published files.
TEST_F(SafetyRun, ConcurrentMonitorsNeverInstallAWrongFile) {
  const char* pairs_text = std::getenv("NIMBO_SOAK_PAIRS");
  const int pairs = pairs_text ? std::atoi(pairs_text) : 8;
  // A reference monitor's configuration of this test's folders, the BASE zone alone.
  const fs::path ini = dir_ / "nimbo.ini";
  write_file(ini, "[Root]\nVirusBaseDir = " + local_.string() + "\n[Update]\nBaseDrlPath = " + drl_.string() +
                      "\nVersionUpdateEnabled = Off\nNbsUpdateEnabled = Off\nNetworkTimeout = 5s\n"
                      "[Monitor]\nUpdateDir = " + update_.string() + "\n");
  std::mt19937 random(7);
  std::map<int, int> outcomes;
  for (int pair = 1; pair <= pairs; ++pair) {
    std::string engine(1 << 20, char('a' + pair % 26));
    for (std::size_t i = 0; i < engine.size(); i += 4096) engine[i] = char(random());
    const files_t files = {{"engine.vdb", engine}, {"timestamp", std::to_string(pair)}};
    write_drl({publish(files, {"--serial", std::to_string(pair)})});
    std::vector<std::unique_ptr<child_process_t>> monitors;
    for (int i = 0; i < 2; ++i) {
      monitors.push_back(std::make_unique<child_process_t>(
          strings{NIMBO_BINARY_DIR "/bin/nimbo-monitor", "-c", ini.string(), "--progress", "off"},
          dir_ / ("monitor" + std::to_string(i) + ".out")));
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
    }
    std::vector<int> statuses;
    for (int i = 0; i < 2; ++i) {
      const int status = monitors[i]->stop(0);
      ASSERT_TRUE(WIFEXITED(status));
      statuses.push_back(WEXITSTATUS(status));
      ++outcomes[statuses.back()];
      // The monitor says plainly why it gave up.
      const std::string out = read_file(dir_ / ("monitor" + std::to_string(i) + ".out"));
      if (statuses.back() == 2) {
        EXPECT_NE(out.find("Another update is already running on "), std::string::npos);
      }
    }
    SCOPED_TRACE("pair " + std::to_string(pair));
    EXPECT_TRUE(std::all_of(statuses.begin(), statuses.end(), [](int s) { return s == 0 || s == 2; }));
    EXPECT_TRUE(std::count(statuses.begin(), statuses.end(), 0) >= 1);
    EXPECT_TRUE(tree(local_) == files) << "statuses " << statuses[0] << " " << statuses[1];
  }
  std::cout << "pairs " << pairs << ": exit 0 x" << outcomes[0] << ", exit 2 x" << outcomes[2] << "\n";
}

TEST_F(SafetyRun, AnOlderListIsRefusedAndAnEqualOrNewerOneAccepted) {
  const std::string replay = publish({{"a.vdb", "old"}}, {"--serial", "0041"}, "-replay");
  const std::string current = publish({{"a.vdb", "new"}}, {"--serial", "42"});
  write_drl({current});
  ASSERT_EQ(run().exit_status, 0);
  write_file(local_ / "a.vdb", "new");  // installed

  write_drl({replay});
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + replay +
                                    "version.lst: older list refused: serial 41, installed 42"));

  write_drl({replay, current});  // whichever comes first, the current list wins
  const auto mixed = run();
  ASSERT_EQ(mixed.exit_status, 0);
  EXPECT_TRUE(mixed.request->install().to_place().empty());

  publish({{"a.vdb", "newer"}}, {"--serial", "42"});  // an equal serial is no replay
  write_drl({current});
  EXPECT_EQ(run().exit_status, 0);

  // A damaged record costs the check, not the update.
  write_file(update_ / "nimbo-update.serials", "nimbo-update serials 1\nBASE 4");
  write_drl({replay});
  const auto damaged = run();
  EXPECT_EQ(damaged.exit_status, 0);
  EXPECT_TRUE(has_line(damaged, "Warning: Serials: \"" + (update_ / "nimbo-update.serials").string() + "\": damaged"));
}

TEST_F(SafetyRun, RemovalPatternsSpareTheDrlAndEngineFiles) {
  const fs::path engine = local_ / "engine.bin", drl_in_zone = local_ / "base.drl";
  write_drl({publish({{"a.vdb", "a"}}, {"--remove", "*"})});
  fs::copy_file(drl_, drl_in_zone);
  write_file(engine, "engine");
  write_file(local_ / "old.tmp", "stale");
  auto c = config();
  c.set_base_drl_path(drl_in_zone.string());
  c.set_core_engine_path(engine.string());
  const auto run = this->run(c);
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_EQ(path_names(run.request->install().to_remove()), strings{"old.tmp"});
}

}  // namespace
}  // namespace upd::testing
