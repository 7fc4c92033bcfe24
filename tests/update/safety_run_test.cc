// The real program as root on a shared machine: one run per update
// directory, no going back to an older list, nothing removed that the next
// run needs, failures that say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "common/safe_file.h"
#include "formats/cache_file.h"
#include "formats/checksum_cache.h"
#include "formats/lzma_samples.h"
#include "support/child_process.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

using strings = std::vector<std::string>;

using SafetyRun = UpdateRunTest;

unsigned env_number(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST_F(SafetyRun, ALockedUpdateDirectoryEndsTheRunAtOnceAndUntouched) {
  write_drl({publish({{"a.vdb", "a"}})});
  const int holder = ::open((update_ / "nimbo-update.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_FALSE(refused.request);
  EXPECT_TRUE(has_line(refused, "Error: Update lock: \"" + (update_ / "nimbo-update.lock").string()));
  EXPECT_EQ(std::distance(fs::directory_iterator(update_), fs::directory_iterator()), 1);
  ::close(holder);
  EXPECT_EQ(run().exit_status, 0);
}

// Two reference monitors started moments apart on one configuration: the
// one that finds the directory locked gives up, the other installs, and
// whatever succeeded left exactly the published files.
TEST_F(SafetyRun, ConcurrentMonitorsNeverInstallAWrongFile) {
  const unsigned pairs = env_number("NIMBO_SOAK_PAIRS", 8);
  // A reference monitor's configuration of this test's folders, the BASE zone alone.
  const fs::path ini = dir_ / "nimbo.ini";
  write_file(ini, "[Root]\nVirusBaseDir = " + local_.string() + "\n[Update]\nBaseDrlPath = " + drl_.string() +
                      "\nVersionUpdateEnabled = Off\nNbsUpdateEnabled = Off\nNetworkTimeout = 5s\n"
                      "[Monitor]\nUpdateDir = " + update_.string() + "\n");
  std::mt19937 random(7);
  for (unsigned pair = 1; pair <= pairs; ++pair) {
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
    SCOPED_TRACE("pair " + std::to_string(pair));
    int successes = 0;
    for (const auto& monitor : monitors) {
      const int status = monitor->stop(0);
      EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2)) << status;
      successes += status == 0;
    }
    EXPECT_GE(successes, 1);
    EXPECT_TRUE(tree(local_) == files);
  }
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
  publish({{"a.vdb", "newest"}}, {"--serial", std::string(20, '9')});  // the longest serial there is
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

// Whole runs of the real program, as root would run it, over an update
// directory where someone planted links, second hard links and FIFOs at the
// names the component writes or reads: nothing outside it changes, nothing
// blocks, and what it stages is a file of its own.
const files_t source = {
    {"a.tmp", "listed under a name that looks temporary"},
    {"a.vdb", std::string(30000, 'a')},
    {"timestamp", "202612070000"},
};

enum class trap_t { symlink, hard_link, fifo };

// Plants at `at` a link to `victim`, a second name of it, or a FIFO.
void plant(trap_t trap, const fs::path& at, const fs::path& victim) {
  fs::create_directories(at.parent_path());
  switch (trap) {
    case trap_t::symlink: fs::create_symlink(victim, at); break;
    case trap_t::hard_link: fs::create_hard_link(victim, at); break;
    case trap_t::fifo: ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); break;
  }
}

using FileSafety = UpdateRunTest;

// Each row also shows that a listed name which looks temporary ("a.tmp") is
// staged like any other.
TEST_F(FileSafety, PlantedLinksAndFifosAreReplacedNeverFollowed) {
  write_drl({publish(source)});
  struct row_t {
    std::string name;  // below the update directory
    trap_t trap;
    std::string victim;  // the content of the file outside
  };
  // The listed content under a second name is still not reused.
  std::vector<row_t> rows = {{"bases/a.vdb", trap_t::hard_link, source.at("a.vdb")}};
  for (const char* name : {"bases/a.vdb", "bases/a.vdb-unpacking", "nimbo-update.cache"})
    for (trap_t trap : {trap_t::symlink, trap_t::hard_link, trap_t::fifo})
      rows.push_back({name, trap, trap == trap_t::fifo ? "" : "victim"});
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << &row - rows.data() << ": " << row.name);
    reset_update_dir();
    const fs::path victim = dir_ / "victim";
    write_file(victim, row.victim);
    plant(row.trap, update_ / row.name, victim);
    expect_staged(run(), source, 3);
    EXPECT_EQ(read_file(victim), row.victim);
    EXPECT_EQ(fs::hard_link_count(victim), 1u);
  }
  // The check underneath: a second name is refused where links are, and
  // read where they are an administrator's choice.
  fs::create_hard_link(dir_ / "victim", dir_ / "second");
  EXPECT_THROW(open_regular_file(dir_ / "second", links_t::refuse), boost::system::system_error);
  EXPECT_TRUE(open_regular_file(dir_ / "second", links_t::follow));
}

// Another user who owns the update directory could swap the staged files
// during the run. Links and open modes: see the failures of UpdateRun; every
// run here lies below /tmp, a sticky directory of root's, which is accepted.
TEST_F(FileSafety, DirectoriesOfAnotherUserAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give directories away";
  write_drl({publish(source)});
  const std::pair<fs::path, std::string> rows[] = {
      {update_, "Error: Cannot use config: not owned by this user: Operation not permitted: \"" + update_.string()},
      {update_ / "bases", "Error: UpdateDir creation: \"" + (update_ / "bases").string() + "\": Operation"}};
  for (const auto& [dir, line] : rows) {
    reset_update_dir();
    fs::create_directories(dir);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    const auto run = this->run();
    EXPECT_TRUE(run.exit_status == 102 && has_line(run, line) && fs::is_empty(dir)) << ::testing::PrintToString(run.log);
  }
}

TEST_F(FileSafety, AnOpenUmaskStillGivesPrivateDirectoriesAndFiles) {
  write_drl({publish(source)});
  auto c = config();
  const fs::path fresh = dir_ / "fresh";
  c.set_update_dir(fresh.string());
  const mode_t saved = ::umask(0);
  const auto run = this->run(c);
  ::umask(saved);
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  for (const fs::path& path : {fresh, fresh / "bases"})
    EXPECT_EQ(fs::symlink_status(path).permissions(), fs::perms(0700)) << path;
  for (const auto& entry : fs::directory_iterator(fresh / "bases"))
    EXPECT_EQ(fs::symlink_status(entry.path()).permissions(), fs::perms(0600)) << entry.path();
  EXPECT_EQ(fs::symlink_status(fresh / "nimbo-update.cache").permissions(), fs::perms(0600));
}

// Update attempts of the real program against nginx, each ended by SIGTERM,
// SIGINT or SIGKILL at a random moment: every run ends with EC_APP_TERMINATED (107)
// or by the kill, the local folder is never written, the checksum cache is
// always intact or absent, and a last undisturbed run completes the update.
//
// NIMBO_FAULT_ATTEMPTS sets the number of attempts (default 40; the full
// figure is 100) and NIMBO_FAULT_SEED the random seed (default 1), which a
// failure names.
using clock_type = std::chrono::steady_clock;

using FaultInjection = UpdateRunTest;

TEST_F(FaultInjection, KilledAttemptsLeaveLocalFilesAndAReadableCache) {
  // Eight files of 256 KiB to fetch and unpack, and a current local file of
  // 2 MiB for the checksum pass.
  files_t files;
  for (int i = 0; i < 8; ++i) files["f" + std::to_string(i) + ".vdb"] = sample_data(256 << 10, i + 1);
  files["big.vdb"] = sample_data(2 << 20, 99);
  files["timestamp"] = "202612061800";
  write_drl({publish(files)});
  write_file(local_ / "big.vdb", files["big.vdb"]);
  write_file(local_ / "f0.vdb", "outdated");

  const unsigned attempts = env_number("NIMBO_FAULT_ATTEMPTS", 40), seed = env_number("NIMBO_FAULT_SEED", 1);
  std::mt19937 random(seed);
  // Undisturbed attempts, from scratch and with everything staged, set the
  // spans the kills are spread over.
  const auto timed_run = [&] {
    const auto start = clock_type::now();
    EXPECT_EQ(run().exit_status, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start);
  };
  const auto fresh_span = timed_run(), staged_span = timed_run();
  reset_update_dir();

  const auto local_before = tree(local_);
  for (unsigned attempt = 0; attempt < attempts; ++attempt) {
    // Half the attempts start without what earlier ones staged.
    const bool fresh = random() % 2;
    if (fresh) fs::remove_all(update_ / "bases");
    const int signal = random() % 5 == 0 ? SIGKILL : random() % 2 ? SIGTERM : SIGINT;
    const std::chrono::microseconds moment(random() % ((fresh ? fresh_span : staged_span).count() + 1));
    {
      fake_monitor_t monitor(component());
      monitor.send(context_of(config()));
      ASSERT_TRUE(monitor.wait_for_handler(signal == SIGKILL ? SIGTERM : signal));
      // The installation request is never answered: the process is alive
      // whenever the signal comes.
      std::this_thread::sleep_for(moment);
      ::kill(monitor.pid(), signal);
      ASSERT_EQ(monitor.wait_exit(), signal == SIGKILL ? -SIGKILL : 107)
          << "seed " << seed << ", attempt " << attempt << ", signal " << signal << " after " << moment.count();
    }
    ASSERT_EQ(tree(local_), local_before) << "attempt " << attempt;
    const fs::path cache = update_ / checker_t::cache_name;
    if (fs::exists(cache)) {
      EXPECT_NO_THROW(decode_cache(read_file(cache)));
    }
  }

  expect_staged(run(), files, 9);
}

}  // namespace
}  // namespace upd::testing
