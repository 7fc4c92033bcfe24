// Whole update attempts of the real program against a real nginx: which
// files are placed, removed and found current, fall-backs between the
// compressed and plain forms and between servers, and the failure codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <functional>

#include "support/child_process.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

const files_t sample = {
    {"a.vdb", std::string(70000, 'a')}, {"b.vdb", "new b " + std::string(5000, 'b')}, {"c.vdb", "c content"},
    {"skip.vdb", "excluded"},           {"timestamp", "202612061700"},
};

// The "to_place" pairs of a request as (destination name, source path) text.
std::vector<std::string> placed_names(const nb::Update2ConfigdMessage& request) {
  std::vector<std::string> names;
  for (const auto& item : request.install().to_place())
    names.push_back(fs::path(item.destination()).filename().string() + " <- " +
                    fs::path(item.source()).parent_path().filename().string() + "/" +
                    fs::path(item.source()).filename().string());
  return names;
}

class UpdateRun : public UpdateRunTest {
 protected:
  // The sample published with "*.tmp" as removal pattern, and a local zone
  // with one current, one changed, one removable and one unlisted file.
  void SetUp() override {
    UpdateRunTest::SetUp();
    if (IsSkipped()) return;
    write_drl({publish(sample, {"--remove", "*.tmp"})});
    write_file(local_ / "a.vdb", sample.at("a.vdb"));
    write_file(local_ / "b.vdb", "old b");
    write_file(local_ / "old.tmp", "stale");
    write_file(local_ / "notes.txt", "not listed");
    config_.mutable_excluded_files()->add_item("skip*");
  }
  nb::UpdateConfig config_ = config();
};

TEST_F(UpdateRun, PlacesMissedAndChangedFilesRemovesMatchesAndReportsCurrentOnes) {
  // The engine file belongs to BASE like the files of its folder.
  config_.set_core_engine_path((dir_ / "engine" / "c.vdb").string());
  const auto run = this->run(config_);
  expect_staged(run, sample, 3);
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
  expect_staged(second, sample, 3);
  EXPECT_TRUE(has_line(second, "\"" + (update_ / "bases" / "b.vdb").string() + "\": has already been downloaded"));
  EXPECT_FALSE(has_line(second, "Downloading " + http_base() + "b.vdb"));
}

// Servers that fail in turn, HTTPS, the default time-out, and the
// compressed form missing or broken: the plain one stands in.
TEST_F(UpdateRun, FallBacksStillDeliverEveryFile) {
  fs::remove(served() / "c.vdb.lzma");
  write_file(served() / "b.vdb.lzma", "this is not lzma data at all");
  // A copy of the repository whose list no longer matches its signature.
  fs::create_directories(served("-forged"));
  std::string list = read_file(served() / "version.lst");
  list[list.find("c.vdb") + 1] = 'x';
  write_file(served("-forged") / "version.lst", list);
  write_drl({"http://127.0.0.1:" + std::to_string(free_port()) + "/", nginx_->http_url(id_ + "-forged/"),
             https_base()});
  config_.clear_network_timeout();  // thirty seconds, not zero
  auto run = this->run(config_);
  expect_staged(run, sample, 3);
  EXPECT_TRUE(has_line(run, "Downloading " + https_base() + "c.vdb"));
  EXPECT_FALSE(fs::exists(update_ / "bases" / "b.vdb-unpacking"));  // nothing of the failed unpacking is left
}

// Half-synced mirrors stand in for each other file by file, whichever is
// current; https names the host in the handshake, an address names none.
TEST_F(UpdateRun, MirrorsStandInForEachOthersMissingOrBrokenFiles) {
  std::string mirror = nginx_->https_url(id_ + "-mirror/");
  mirror.replace(mirror.find("127.0.0.1"), 9, "localhost");
  publish(sample, {"--remove", "*.tmp"}, "-mirror");
  for (const char* form : {"b.vdb", "b.vdb.lzma"}) fs::remove(served() / form);
  for (const char* form : {"c.vdb", "c.vdb.lzma"}) write_file(served("-mirror") / form, "broken");
  write_drl({https_base(), mirror});
  const auto run = this->run(config_);
  expect_staged(run, sample, 3);
  EXPECT_TRUE(has_line(run, ": delivered by "));
  const std::string log = nginx_->access_log();
  EXPECT_NE(log.find("-mirror/b.vdb.lzma proxy_authorization=- sni=localhost server=localhost"),
            std::string::npos) << log;
  EXPECT_NE(log.find("/c.vdb.lzma proxy_authorization=- sni=- server=\n"), std::string::npos) << log;

  for (const char* form : {"b.vdb", "b.vdb.lzma"}) fs::remove(served("-mirror") / form);
  fs::remove_all(update_ / "bases");
  const auto missing = this->run(config_);
  EXPECT_EQ(missing.exit_status, 29);
  EXPECT_TRUE(has_line(missing, "b.vdb\" from https://")) << ::testing::PrintToString(missing.log);
}

struct failure_case_t {
  const char* name;
  std::function<void(nb::UpdateConfig&)> arrange;
  int status;
  bool transferred;  // the run received bytes, and so sends the monitor its statistics
  std::vector<std::string> lines;  // each found in a line of the log
};

TEST_F(UpdateRun, FailuresEndWithTheirCodeAndLeaveTheLocalFiles) {
  const auto notice = [](nb::UpdateConfig& c) { c.set_log_level(nb::LOG_LEVEL_NOTICE); };
  const fs::path fifo = dir_ / "fifo" / "c.vdb", staging = update_ / "bases";
  const failure_case_t cases[] = {
      {"wrong content in both forms",
       [this](nb::UpdateConfig&) {
         write_file(served() / "c.vdb", "tampered");
         fs::copy_file(served() / "b.vdb.lzma", served() / "c.vdb.lzma", fs::copy_options::overwrite_existing);
       },
       98, true, {"c.vdb: Invalid checksum"}},  // the Error line names the file and its URL
      // Each server or file passed over is named with its reason at the default level.
      {"no server delivering a list",
       [&](nb::UpdateConfig& c) {
         notice(c);
         write_drl({nginx_->http_url("missing/")});
       },
       94, true, {"Notice: BASE: " + nginx_->http_url("missing/") + "version.lst: HTTP 404 Not Found"}},
      {"refused connection",
       [&](nb::UpdateConfig& c) {
         notice(c);
         write_drl({"http://127.0.0.1:" + std::to_string(free_port()) + "/"});
       },
       94, false, {": Connection refused: Network error"}},
      {"a file no server has",
       [&](nb::UpdateConfig& c) {
         notice(c);
         fs::remove(served() / "c.vdb");
         fs::remove(served() / "c.vdb.lzma");
       },
       29, true, {"Notice: Download of c.vdb failed: " + http_base() + "c.vdb: HTTP 404 Not Found",
                  "Error: \"" + (staging / "c.vdb").string() + "\" from " + http_base() + "c.vdb"}},
      {"bad server list",
       [this](nb::UpdateConfig&) {
         std::string drl = read_file(drl_);
         drl[drl.find("url=") + 4] ^= 1;
         write_file(drl_, drl);
       },
       90, false, {"Error: DRL: "}},
      // The custom list replaces the standard one only while it exists.
      {"absent custom server list",
       [this](nb::UpdateConfig& c) {
         c.set_base_drl_path((dir_ / "standard.drl").string());
         write_file(dir_ / "standard.drl", "not a server list");
         c.set_base_custom_drl_path((dir_ / "absent.drl").string());
       },
       90, false, {"standard.drl"}},
      // A link, here to the zone's folder, is never written through.
      {"staging folder that is a link",
       [&](nb::UpdateConfig&) { fs::create_symlink(local_, staging); },
       102, true, {"Error: UpdateDir creation: \"" + staging.string() + "\": Too many levels of symbolic links"}},
      // A local file that is a FIFO fails the check instead of blocking it.
      {"local file that is a FIFO",
       [&](nb::UpdateConfig& c) {
         fs::create_directories(fifo.parent_path());
         ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
         c.set_core_engine_path(fifo.string());
       },
       22, true, {"Error: SHA256: \"" + fifo.string() + "\": open: Invalid argument"}},
  };
  const auto before = tree(local_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_drl({publish(sample, {"--remove", "*.tmp"})});
    fs::remove_all(update_);
    fs::create_directories(update_);
    auto config = config_;
    c.arrange(config);
    const auto run = this->run(config);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(run.log);
    EXPECT_FALSE(run.request);
    for (const auto& line : c.lines) EXPECT_TRUE(has_line(run, line)) << line << ::testing::PrintToString(run.log);
    EXPECT_EQ(tree(local_), before);
    EXPECT_EQ(std::any_of(run.progress.begin(), run.progress.end(),
                          [](const auto& m) { return m.has_stat() && m.stat().bytes_received() > 0; }),
              c.transferred);
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
