#include "installer.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <set>

#include "formats/file_sha256.h"
#include "support/test_support.h"

namespace upd::monitor {
namespace {

namespace fs = boost::filesystem;
using testing::read_file;
using testing::write_file;

class InstallerTest : public ::testing::Test {
 protected:
  InstallerTest() {
    fs::create_directories(staged("bases"));
    fs::create_directories(bases());
    config_.set_update_dir((dir_ / "update").string());
    config_.set_virus_base_dir(bases().string());
    config_.set_version_dir((dir_ / "version").string());  // does not exist yet
    config_.set_base_drl_path((dir_ / "drl" / "base.drl").string());
    config_.set_core_engine_path((dir_ / "engine" / "core.so").string());
  }

  fs::path staged(const std::string& name) const { return dir_ / "update" / name; }
  fs::path bases() const { return dir_ / "bases"; }

  void place(const fs::path& source, const fs::path& destination) {
    auto* item = request_.add_to_place();
    item->set_source(source.string());
    item->set_destination(destination.string());
  }

  install_result_t install() { return install_updates(request_, scope_of(config_)); }

  static std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
  }

  static unsigned mode_of(const fs::path& path) { return fs::status(path).permissions(); }

  testing::temp_dir_t dir_;
  nb::UpdateConfig config_;
  nb::InstallRequest request_;
};

TEST_F(InstallerTest, PlacesStagedFilesOverOldOnesAndIntoNewDirectories) {
  write_file(bases() / "daily.vdb", "old daily");
  ::chmod((bases() / "daily.vdb").c_str(), 07640);
  write_file(bases() / "old.vdb", "obsolete");
  write_file(staged("bases/daily.vdb"), "new daily");
  write_file(staged("bases/main.vdb"), "new main");
  write_file(staged("bases/core.so"), "engine");
  fs::create_directories(staged("version"));
  write_file(staged("version/version.txt"), "10.1");
  place(staged("bases/daily.vdb"), bases() / "daily.vdb");
  place(dir_.path().string() + "//update/./bases/main.vdb", bases().string() + "/./main.vdb");
  place(staged("bases/core.so"), dir_ / "engine" / "core.so");
  place(staged("version/version.txt"), dir_ / "version" / "version.txt");
  // Removals come after the placements; one already missing is no failure.
  request_.add_to_remove((bases() / "old.vdb").string());
  request_.add_to_remove((bases() / "gone.vdb").string());
  request_.add_up_to_date((bases() / "same.vdb").string());

  const install_result_t result = install();
  ASSERT_FALSE(result.error) << result.error->what();
  EXPECT_EQ(result.placed, 4u);
  EXPECT_EQ(result.removed, 1u);
  EXPECT_EQ(read_file(bases() / "daily.vdb"), "new daily");
  EXPECT_EQ(read_file(bases() / "main.vdb"), "new main");
  EXPECT_EQ(read_file(dir_ / "engine" / "core.so"), "engine");
  EXPECT_EQ(read_file(dir_ / "version" / "version.txt"), "10.1");
  EXPECT_EQ(mode_of(bases() / "daily.vdb"), 0640u);  // an existing file keeps its permission bits
  EXPECT_EQ(mode_of(bases() / "main.vdb"), 0644u);
  // No temporary file is left, and the staged copies are gone.
  EXPECT_EQ(names_in(bases()), (std::set<std::string>{"daily.vdb", "main.vdb"}));
  EXPECT_TRUE(names_in(staged("bases")).empty());
}

// The installation is killed instead of its nth rename, for every n, and then runs again.
TEST_F(InstallerTest, AKilledInstallationLeavesNoTimestampNewerThanItsZoneAndTheNextOneCleansUp) {
  const std::string zones[] = {"bases", "version"};
  const std::string names[] = {"timestamp", "a.vdb", "b.vdb"};  // as the component lists them
  const int placements = 6;
  for (int n = 1; n <= placements; ++n) {
    SCOPED_TRACE(n);
    request_.Clear();
    for (const auto& zone : zones) {
      fs::create_directories(dir_ / zone);
      fs::create_directories(staged(zone));
      for (const auto& name : names) {
        write_file(dir_ / zone / name, "old");
        write_file(staged(zone) / name, "new");
        place(staged(zone) / name, dir_ / zone / name);
      }
    }
    write_file(bases() / "old.vdb", "obsolete");
    request_.add_to_remove((bases() / "old.vdb").string());

    const pid_t child = ::fork();
    if (child == 0) {
      int renames = 0;
      install_updates(request_, scope_of(config_), [&](const char* from, const char* to) {
        if (++renames == n) ::_exit(9);
        return ::rename(from, to);
      });
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 9);
    const bool removed = !fs::exists(bases() / "old.vdb");
    for (const auto& zone : zones)
      if (read_file(dir_ / zone / "timestamp") == "new") {
        for (const auto& name : names) EXPECT_EQ(read_file(dir_ / zone / name), "new") << zone << "/" << name;
        EXPECT_TRUE(removed);
      }
    // Left behind: the temporary files of the renames not done, and old.vdb unless its turn came.
    EXPECT_EQ(names_in(bases()).size() + names_in(dir_ / "version").size(), 6u + (placements - n + 1) + !removed);

    ASSERT_FALSE(install().error);
    for (const auto& zone : zones) {
      EXPECT_EQ(names_in(dir_ / zone), (std::set<std::string>{"a.vdb", "b.vdb", "timestamp"}));
      for (const auto& name : names) EXPECT_EQ(read_file(dir_ / zone / name), "new");
    }
  }
}

TEST_F(InstallerTest, RemovesTemporaryFilesOfACrashedInstallationButNothingThatOnlyLooksLikeOne) {
  fs::create_directories(dir_ / "drl");
  write_file(dir_ / "target", "kept");
  const std::pair<fs::path, bool> files[] = {  // path, a leftover
      {bases() / ".daily.vdb.nimbo-aZ09xY", true},
      {dir_ / "drl" / ".base.drl.nimbo-Abcdef", true},
      {dir_ / "drl" / ".other.drl.nimbo-Abcdef", false},  // beside a file of the zones: its own only
      {bases() / "daily.vdb.nimbo-aZ09xY", false},
      {bases() / ".nimbo-aZ09xY", false},
      {bases() / ".daily.vdb.nimbo-aZ09x", false},
      {bases() / ".daily.vdb.nimbo-aZ09x_", false},
      {bases() / ".daily.vdb.nimbo_aZ09xY", false},
  };
  for (const auto& [path, leftover] : files) write_file(path, "x");
  fs::create_symlink(dir_ / "target", bases() / ".link.nimbo-aZ09xY");
  fs::create_directories(bases() / ".dir.nimbo-aZ09xY");

  ASSERT_FALSE(install().error);  // an empty request
  for (const auto& [path, leftover] : files) EXPECT_EQ(fs::exists(path), !leftover) << path;
  EXPECT_TRUE(fs::is_symlink(bases() / ".link.nimbo-aZ09xY"));
  EXPECT_TRUE(fs::is_directory(bases() / ".dir.nimbo-aZ09xY"));
  EXPECT_EQ(read_file(dir_ / "target"), "kept");
}

// A request that reaches outside the zones, or names a missing source, a
// staged file changed since the component checked it, a directory in the
// way of a placement, or a regular file where a directory must be created:
// nothing outside is touched, no destination changes, no temporary file is
// left.
TEST_F(InstallerTest, AFailedCheckOrPreparationChangesNoDestinationAndLeavesNoTemporaryFile) {
  write_file(bases() / "a.vdb", "old a");
  write_file(bases() / "old.vdb", "keep me");
  fs::create_directories(bases() / "dir.vdb");
  write_file(dir_ / "engine", "a file where the engine directory should be");
  write_file(staged("bases/a.vdb"), "new a");
  write_file(staged("bases/b.vdb"), "new b");
  fs::create_directories(dir_ / "elsewhere");
  write_file(dir_ / "elsewhere" / "secret", "secret");
  fs::create_symlink(dir_ / "elsewhere", staged("bases/link"));
  fs::create_directories(staged("bases/sub"));
  const std::string a = staged("bases/a.vdb").string(), b = staged("bases/b.vdb").string(), target = (bases() / "b.vdb").string();
  const std::string link = staged("bases/link/secret").string(), sub = staged("bases/sub").string();
  const std::string missing = staged("bases/missing.vdb").string(), bases_dir = bases().string();
  const std::string zones = "Destination outside the update zones: \"",
                    update = "Source outside the update directory: \"";
  const struct {
    std::string source, destination, removal;
    nb::ErrorCode code;
    std::string what;
  } cases[] = {
      {b, "/etc/passwd", "", nb::EC_INVALID_ARGUMENT, zones + "/etc/passwd\""},
      {b, bases_dir + "/../x", "", nb::EC_INVALID_ARGUMENT, zones + bases_dir + "/../x\""},
      {b, bases_dir + "/deeper/x", "", nb::EC_INVALID_ARGUMENT, zones + bases_dir + "/deeper/x\""},
      {b, "daily.vdb", "", nb::EC_INVALID_ARGUMENT, zones + "daily.vdb\""},
      {"update/bases/b.vdb", target, "", nb::EC_INVALID_ARGUMENT, update + "update/bases/b.vdb\""},
      {"/etc/passwd", target, "", nb::EC_INVALID_ARGUMENT, update + "/etc/passwd\""},
      {link, target, "", nb::EC_INVALID_ARGUMENT, update + link + "\""},
      {b, target, "/etc/shadow", nb::EC_INVALID_ARGUMENT, zones + "/etc/shadow\""},
      {b, target, target, nb::EC_INVALID_ARGUMENT, "Both placed and removed: \"" + target + "\""},
      {sub, target, "", nb::EC_NOT_A_REGULAR_FILE, "Cannot open \"" + sub + "\": Not a regular file"},
      {missing, target, "", nb::EC_NO_SUCH_ENTRY, "Cannot open \"" + missing + "\": No such file or directory"},
      {a, target, "", nb::EC_IO_ERROR, "Cannot install \"" + a + "\": its SHA-256 differs from the request's"},
      {b, bases_dir + "/dir.vdb", "", nb::EC_NOT_A_REGULAR_FILE, ""},
      // EEXIST from creating the directory
      {b, (dir_ / "engine" / "core.so").string(), "", nb::EC_IO_ERROR,
       "Cannot create directory \"" + (dir_ / "engine").string() + "\": "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source + " " + c.destination);
    request_.Clear();
    place(staged("bases/a.vdb"), bases() / "a.vdb");
    place(c.source, c.destination);
    request_.mutable_to_place(1)->set_sha256(sha256_digest("new b"));
    request_.add_to_remove((bases() / "old.vdb").string());
    if (!c.removal.empty()) request_.add_to_remove(c.removal);
    const install_result_t result = install();
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code(), c.code);
    EXPECT_EQ(result.error->what().substr(0, c.what.size()), c.what);
    EXPECT_EQ(result.placed, 0u);
    EXPECT_EQ(read_file(bases() / "a.vdb"), "old a");
    EXPECT_EQ(names_in(bases()), (std::set<std::string>{"a.vdb", "dir.vdb", "old.vdb"}));
    EXPECT_TRUE(fs::exists(staged("bases/a.vdb")));  // the staged copy stays for the next run
    EXPECT_EQ(read_file(dir_ / "elsewhere" / "secret"), "secret");
  }
}

}  // namespace
}  // namespace upd::monitor
