// Whole runs of the real program, as root would run it, over an update
// directory where someone planted links, second hard links and FIFOs at the
// names the component writes or reads: nothing outside it changes, nothing
// blocks, and what it stages is a file of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>

#include "common/safe_file.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

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

struct stat lstat_of(const fs::path& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status;
}

class FileSafety : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    if (!IsSkipped()) write_drl({publish(source)});
  }
};

// Each row also shows that a listed name which looks temporary ("a.tmp") is
// staged like any other.
TEST_F(FileSafety, PlantedLinksAndFifosAreReplacedNeverFollowed) {
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
    fs::remove_all(update_);
    fs::create_directories(update_);
    const fs::path victim = dir_ / "victim";
    write_file(victim, row.victim);
    plant(row.trap, update_ / row.name, victim);
    expect_staged(run(), source, 3);
    EXPECT_EQ(read_file(victim), row.victim);
    EXPECT_EQ(lstat_of(victim).st_nlink, 1u);
  }
  // The check underneath: a second name is refused where links are, and
  // read where they are an administrator's choice.
  fs::create_hard_link(dir_ / "victim", dir_ / "second");
  EXPECT_THROW(open_regular_file(dir_ / "second", links_t::refuse), boost::system::system_error);
  EXPECT_TRUE(open_regular_file(dir_ / "second", links_t::follow));
}

// A staging folder that is a link is refused too (see the failures of UpdateRun).
TEST_F(FileSafety, StagingDirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the directory away";
  fs::create_directory(update_ / "bases");
  ASSERT_EQ(::chown((update_ / "bases").c_str(), 65534, 65534), 0);
  const auto run = this->run();
  EXPECT_EQ(run.exit_status, 102);
  EXPECT_TRUE(has_line(run, "Error: UpdateDir creation: \"" + (update_ / "bases").string() +
                                "\": Operation not permitted"));
  EXPECT_TRUE(fs::is_empty(update_ / "bases"));
}

TEST_F(FileSafety, AnOpenUmaskStillGivesPrivateDirectoriesAndFiles) {
  auto c = config();
  const fs::path fresh = dir_ / "fresh";
  c.set_update_dir(fresh.string());
  const mode_t saved = ::umask(0);
  const auto run = this->run(c);
  ::umask(saved);
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  for (const fs::path& path : {fresh, fresh / "bases"})
    EXPECT_EQ(lstat_of(path).st_mode & 07777, 0700u) << path;
  for (const auto& entry : fs::directory_iterator(fresh / "bases"))
    EXPECT_EQ(lstat_of(entry.path()).st_mode & 07777, 0600u) << entry.path();
  EXPECT_EQ(lstat_of(fresh / "nimbo-update.cache").st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace upd::testing
