// Whole update attempts of the real program against a real nginx: which
// files are placed, removed and found current, fall-backs between the
// compressed and plain forms and between servers, and the failure codes.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>
#include <functional>

#include "main/component.h"
#include "support/child_process.h"
#include "support/fake_http_server.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

const std::map<std::string, std::string> sample = {
    {"a.vdb", std::string(70000, 'a')}, {"b.vdb", "new b " + std::string(5000, 'b')}, {"c.vdb", "c content"},
    {"skip.vdb", "excluded"},           {"timestamp", "202612061700"},
};

class UpdateRun : public UpdateRunTest {
 protected:
  // The sample published with "*.tmp" as removal pattern, and a local zone
  // with one current, one changed, one removable and one unlisted file.
  void SetUp() override {
    UpdateRunTest::SetUp();
    if (IsSkipped()) return;
    set_source(sample);
    served_ = publish({"*.tmp"});
    write_drl({http_base()});
    write_file(local_ / "a.vdb", sample.at("a.vdb"));
    write_file(local_ / "b.vdb", "old b");
    write_file(local_ / "old.tmp", "stale");
    write_file(local_ / "notes.txt", "not listed");
    config_.mutable_excluded_files()->add_item("skip*");
  }
  // Every staged file holds its published content.
  void expect_staged_as_published(const run_result_t& run) {
    ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
    for (const auto& item : run.request->install().to_place())
      EXPECT_EQ(read_file(item.source()), sample.at(fs::path(item.source()).filename().string()));
  }
  fs::path served_;
  nb::UpdateConfig config_ = config();
};

TEST_F(UpdateRun, PlacesMissedAndChangedFilesRemovesMatchesAndReportsCurrentOnes) {
  // The engine file belongs to BASE like the files of its folder.
  config_.set_core_engine_path((dir_ / "engine" / "c.vdb").string());
  const auto run = this->run(config_);
  expect_staged_as_published(run);
  // "timestamp" leads; the rest follow in name order.
  EXPECT_EQ(placed_names(*run.request),
            (strings{"timestamp <- bases/timestamp", "b.vdb <- bases/b.vdb", "c.vdb <- bases/c.vdb"}));
  EXPECT_EQ(run.request->install().to_place(2).destination(), config_.core_engine_path());
  EXPECT_EQ(path_names(run.request->install().to_remove()), strings{"old.tmp"});
  EXPECT_EQ(path_names(run.request->install().up_to_date()), strings{"a.vdb"});
  // The component never touches the local files itself.
  EXPECT_EQ(read_file(local_ / "b.vdb"), "old b");
  EXPECT_TRUE(fs::exists(local_ / "old.tmp"));
  EXPECT_TRUE(has_line(run, "Debug: Excluded from BASE \"skip.vdb\""));
  EXPECT_FALSE(has_line(run, "Invalid pattern"));
  EXPECT_TRUE(has_line(run, "Debug: Skip \"" + (local_ / "notes.txt").string() + "\""));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "timestamp"));
  EXPECT_FALSE(has_line(run, "timestamp.lzma"));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "b.vdb.lzma"));
  EXPECT_FALSE(has_line(run, "Downloading " + http_base() + "b.vdb\""));

  // The monitor did not install: a second run finds the staged copies current.
  const auto second = this->run(config_);
  expect_staged_as_published(second);
  EXPECT_EQ(placed_names(*second.request).size(), 3u);
  EXPECT_TRUE(has_line(second, "\"" + (update_ / "bases" / "b.vdb").string() + "\": has already been downloaded"));
  EXPECT_FALSE(has_line(second, "Downloading " + http_base() + "b.vdb"));
}

TEST_F(UpdateRun, ReferenceMonitorInstallsThePublishedFilesByteForByte) {
  write_file(dir_ / "nimbo.ini", "[Root]\nVirusBaseDir = " + local_.string() +
                                     "\n[Update]\nLogLevel = Debug\nLogType = File\nLogPath = " + log_.string() +
                                     "\nBaseDrlPath = " + drl_.string() + "\nExcludedFiles = skip*\n"
                                     "VersionUpdateEnabled = Off\nNbsUpdateEnabled = Off\n"
                                     "[Monitor]\nUpdateDir = " + update_.string() + "\n");
  ASSERT_TRUE(run_program(
      {NIMBO_BINARY_DIR "/bin/nimbo-monitor", "-c", (dir_ / "nimbo.ini").string(), "--progress", "off"},
      dir_ / "monitor.out"))
      << read_file(dir_ / "monitor.out") << read_file(log_);
  auto expected = sample;
  expected.erase("skip.vdb");
  expected["notes.txt"] = "not listed";
  EXPECT_EQ(files_in(local_), expected);
}

// Servers that fail in turn, HTTPS, the default time-out, and the
// compressed form missing or broken: the plain one stands in.
TEST_F(UpdateRun, FallBacksStillDeliverEveryFile) {
  fs::remove(served_ / "c.vdb.lzma");
  write_file(served_ / "b.vdb.lzma", "this is not lzma data at all");
  // A copy of the repository whose list no longer matches its signature.
  const fs::path forged = served_root_->path() / (id_ + "-forged");
  fs::create_directories(forged);
  std::string list = read_file(served_ / "version.lst");
  list[list.find("c.vdb") + 1] = 'x';
  write_file(forged / "version.lst", list);
  write_drl({"http://127.0.0.1:" + std::to_string(free_port()) + "/", nginx_->http_url(id_ + "-forged/"),
             https_base()});
  config_.clear_network_timeout();  // thirty seconds, not zero
  auto run = this->run(config_);
  expect_staged_as_published(run);
  EXPECT_EQ(placed_names(*run.request).size(), 3u);
  EXPECT_TRUE(has_line(run, "Downloading " + https_base() + "c.vdb"));
  EXPECT_FALSE(fs::exists(update_ / "bases" / "b.vdb-unpacking"));  // nothing of the failed unpacking is left
}

struct failure_case_t {
  const char* name;
  std::function<void(nb::UpdateConfig&)> arrange;
  int status;
  std::string line;  // found in a line of the log
};

TEST_F(UpdateRun, FailuresEndWithTheirCodeAndLeaveTheLocalFiles) {
  const failure_case_t cases[] = {
      {"wrong content in both forms",
       [this](nb::UpdateConfig&) {
         write_file(served_ / "c.vdb", "tampered");
         fs::copy_file(served_ / "b.vdb.lzma", served_ / "c.vdb.lzma", fs::copy_options::overwrite_existing);
       },
       98, "c.vdb: Invalid checksum"},  // the Error line names the file and its URL
      // Each server passed over is named with its reason at the default level.
      {"no server delivering a list",
       [this](nb::UpdateConfig& c) {
         c.set_log_level(nb::LOG_LEVEL_NOTICE);
         write_drl({nginx_->http_url("missing/")});
       },
       94, "Notice: BASE: " + nginx_->http_url("missing/") + "version.lst: HTTP 404 Not Found"},
      {"refused connection",
       [this](nb::UpdateConfig& c) {
         c.set_log_level(nb::LOG_LEVEL_NOTICE);
         write_drl({"http://127.0.0.1:" + std::to_string(free_port()) + "/"});
       },
       94, ": Connection refused: Network error"},
      {"bad server list",
       [this](nb::UpdateConfig&) {
         std::string drl = read_file(drl_);
         drl[drl.find("url=") + 4] ^= 1;
         write_file(drl_, drl);
       },
       90, "Error: DRL: "},
      // The custom list replaces the standard one only while it exists.
      {"absent custom server list",
       [this](nb::UpdateConfig& c) {
         c.set_base_drl_path((dir_ / "standard.drl").string());
         write_file(dir_ / "standard.drl", "not a server list");
         c.set_base_custom_drl_path((dir_ / "absent.drl").string());
       },
       90, "standard.drl"},
      // A dangling link: the staging folder neither exists nor can be made.
      {"uncreatable staging folder",
       [this](nb::UpdateConfig&) { fs::create_symlink(dir_ / "missing", update_ / "bases"); },
       102, "Error: UpdateDir creation: "},
  };
  const auto before = files_in(local_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    set_source(sample);
    publish({"*.tmp"});
    write_drl({http_base()});
    fs::remove_all(update_);
    fs::create_directories(update_);
    auto config = config_;
    c.arrange(config);
    const auto run = this->run(config);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(run.log);
    EXPECT_FALSE(run.request);
    EXPECT_TRUE(has_line(run, c.line)) << ::testing::PrintToString(run.log);
    EXPECT_EQ(files_in(local_), before);
  }
}

TEST_F(UpdateRun, ExistingCustomServerListReplacesTheStandardOneAndNoListLeavesTheZoneOut) {
  write_file(dir_ / "standard.drl", "not a server list");
  config_.set_base_drl_path((dir_ / "standard.drl").string());
  config_.set_base_custom_drl_path(drl_.string());
  EXPECT_EQ(run(config_).exit_status, 0);
  config_.clear_base_drl_path();
  config_.clear_base_custom_drl_path();
  const auto run = this->run(config_);
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_TRUE(has_line(run, "Warning: No DRL-file for for BASE"));
  EXPECT_EQ(run.request->install().to_place_size(), 0);
}

}  // namespace
}  // namespace upd::testing
