// Whole update attempts of the real program against a real nginx: which
// files are placed, removed and found current, fall-backs between the
// compressed and plain forms and between servers, and the failure codes.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>

#include "main/component.h"
#include "support/child_process.h"
#include "support/fake_http_server.h"
#include "support/squid_proxy.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

const std::map<std::string, std::string> sample = {
    {"a.vdb", std::string(70000, 'a')},
    {"b.vdb", "new b " + std::string(5000, 'b')},
    {"c.vdb", "c content"},
    {"skip.vdb", "excluded"},
    {"timestamp", "202612061700"},
};

bool has_line(const run_result_t& run, const std::string& needle) {
  return std::any_of(run.log.begin(), run.log.end(),
                     [&](const std::string& line) { return line.find(needle) != std::string::npos; });
}

class UpdateRun : public UpdateRunTest {
 protected:
  // The sample published with "*.tmp" as removal pattern, and a local zone
  // with one current, one changed, one removable and one unlisted file.
  void prepare_sample() {
    set_source(sample);
    publish({"*.tmp"});
    write_drl({http_base()});
    write_file(local_ / "a.vdb", sample.at("a.vdb"));
    write_file(local_ / "b.vdb", "old b");
    write_file(local_ / "old.tmp", "stale");
    write_file(local_ / "notes.txt", "not listed");
  }
  nb::UpdateConfig sample_config() {
    auto c = config();
    c.mutable_excluded_files()->add_item("skip*");
    return c;
  }
};

TEST_F(UpdateRun, PlacesMissedAndChangedFilesRemovesMatchesAndReportsCurrentOnes) {
  prepare_sample();
  const auto run = this->run(sample_config());
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  ASSERT_TRUE(run.request);
  // "timestamp" leads; the rest follow in name order.
  EXPECT_EQ(placed_names(*run.request),
            (strings{"timestamp <- bases/timestamp", "b.vdb <- bases/b.vdb", "c.vdb <- bases/c.vdb"}));
  EXPECT_EQ(path_names(run.request->install().to_remove()), strings{"old.tmp"});
  EXPECT_EQ(path_names(run.request->install().up_to_date()), strings{"a.vdb"});
  for (const auto& item : run.request->install().to_place())
    EXPECT_EQ(read_file(item.source()), sample.at(fs::path(item.source()).filename().string()));
  // The component never touches the local files itself.
  EXPECT_EQ(read_file(local_ / "b.vdb"), "old b");
  EXPECT_TRUE(fs::exists(local_ / "old.tmp"));

  EXPECT_TRUE(has_line(run, "Debug: Excluded from BASE \"skip.vdb\""));
  EXPECT_TRUE(has_line(run, "Debug: Skip \"" + (local_ / "notes.txt").string() + "\""));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "timestamp"));
  EXPECT_FALSE(has_line(run, "timestamp.lzma"));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "b.vdb.lzma"));
  EXPECT_FALSE(has_line(run, "Downloading " + http_base() + "b.vdb\""));
}

TEST_F(UpdateRun, ReferenceMonitorInstallsThePublishedFilesByteForByte) {
  prepare_sample();
  write_file(dir_ / "nimbo.ini",
             "[Root]\nVirusBaseDir = " + local_.string() + "\n"
             "[Update]\nLogLevel = Debug\nLogType = File\nLogPath = " + log_.string() + "\n"
             "NetworkTimeout = 5s\nBaseDrlPath = " + drl_.string() + "\nExcludedFiles = skip*\n"
             "VersionUpdateEnabled = Off\nNbsUpdateEnabled = Off\n"
             "[Monitor]\nUpdateDir = " + update_.string() + "\n");
  ASSERT_TRUE(run_program({NIMBO_BINARY_DIR "/bin/nimbo-monitor", "-c", (dir_ / "nimbo.ini").string(),
                           "--progress", "off"},
                          dir_ / "monitor.out"))
      << read_file(dir_ / "monitor.out") << read_file(log_);
  auto expected = sample;
  expected.erase("skip.vdb");
  expected["notes.txt"] = "not listed";
  EXPECT_EQ(files_in(local_), expected);
}

TEST_F(UpdateRun, MissingOrCorruptCompressedFilesFallBackToPlainOnes) {
  prepare_sample();
  const fs::path served = served_root_->path() / id_;
  fs::remove(served / "c.vdb.lzma");
  write_file(served / "b.vdb.lzma", "this is not lzma data at all");
  const auto run = this->run(sample_config());
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  for (const auto& item : run.request->install().to_place())
    EXPECT_EQ(read_file(item.source()), sample.at(fs::path(item.source()).filename().string()));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "b.vdb"));
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "c.vdb"));
  // Nothing of the failed unpacking is left beside the staged files.
  EXPECT_FALSE(fs::exists(update_ / "bases" / "b.vdb-unpacking"));
}

TEST_F(UpdateRun, WrongContentInBothFormsEndsWithBadChecksum) {
  prepare_sample();
  const fs::path served = served_root_->path() / id_;
  write_file(served / "c.vdb", "tampered");
  fs::copy_file(served / "b.vdb.lzma", served / "c.vdb.lzma", fs::copy_options::overwrite_existing);
  const auto run = this->run(sample_config());
  EXPECT_EQ(run.exit_status, 98);
  EXPECT_FALSE(run.request);
  EXPECT_TRUE(has_line(run, "Error: \"" + (update_ / "bases" / "c.vdb").string() + "\" from " + http_base() +
                                "c.vdb: Invalid checksum"));
  EXPECT_EQ(files_in(local_).size(), 4u);
  EXPECT_EQ(read_file(local_ / "b.vdb"), "old b");
}

TEST_F(UpdateRun, OversizedBodyIsRefusedLikeAWrongOne) {
  prepare_sample();
  const fs::path served = served_root_->path() / id_;
  // Far more than the listed size, in both forms: neither may fill the disk.
  write_file(served / "c.vdb", std::string(2 << 20, 'x'));
  write_file(served / "c.vdb.lzma", std::string(2 << 20, 'x'));
  const auto run = this->run(sample_config());
  EXPECT_EQ(run.exit_status, 29) << ::testing::PrintToString(run.log);
  EXPECT_LT(fs::file_size(update_ / "bases" / "c.vdb"), 1u << 20);
}

TEST_F(UpdateRun, SecondRunReusesStagedFilesWithoutTransfers) {
  prepare_sample();
  ASSERT_EQ(run(sample_config()).exit_status, 0);
  // The monitor did not install: the staged copies are still current.
  const auto second = run(sample_config());
  ASSERT_EQ(second.exit_status, 0);
  EXPECT_EQ(placed_names(*second.request).size(), 3u);
  EXPECT_TRUE(has_line(second, "\"" + (update_ / "bases" / "c.vdb").string() + "\": has already been downloaded"));
  EXPECT_FALSE(has_line(second, "Downloading " + http_base() + "c.vdb"));
}

TEST_F(UpdateRun, DeadAndBadlySignedMirrorsAreSkipped) {
  prepare_sample();
  // A second copy of the repository whose list no longer matches its signature.
  const fs::path served = served_root_->path() / id_;
  const fs::path forged = served_root_->path() / (id_ + "-forged");
  fs::create_directories(forged);
  std::string list = read_file(served / "version.lst");
  list[list.find("c.vdb") + 1] = 'x';
  write_file(forged / "version.lst", list);
  const std::string dead = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
  write_drl({dead, nginx_->http_url(id_ + "-forged/"), http_base()});
  const auto run = this->run(sample_config());
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_EQ(placed_names(*run.request).size(), 3u);
}

TEST_F(UpdateRun, NoServerDeliveringAValidListEndsWithNoUpdateServers) {
  prepare_sample();
  const std::string dead = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
  write_drl({dead, nginx_->http_url("missing/")});
  auto c = sample_config();
  c.set_log_level(nb::LOG_LEVEL_NOTICE);
  const auto run = this->run(c);
  EXPECT_EQ(run.exit_status, 94);
  // Each server passed over is named with its reason at the default level.
  EXPECT_TRUE(has_line(run, "Notice: BASE: " + dead + "version.lst: Connect 127.0.0.1:"));
  EXPECT_TRUE(has_line(run, ": Connection refused: Network error"));
  EXPECT_TRUE(has_line(run, "Notice: BASE: " + nginx_->http_url("missing/") + "version.lst: HTTP 404 Not Found"));
}

TEST_F(UpdateRun, BadServerListEndsWithBadDrl) {
  prepare_sample();
  std::string drl = read_file(drl_);
  drl[drl.find("url=") + 4] ^= 1;
  write_file(drl_, drl);
  EXPECT_EQ(run(sample_config()).exit_status, 90);
}

TEST_F(UpdateRun, ExistingCustomServerListReplacesTheStandardOne) {
  prepare_sample();
  const fs::path standard = dir_ / "standard.drl";
  fs::rename(drl_, standard);
  write_drl({http_base()});  // the custom list names the working server
  auto c = sample_config();
  c.set_base_drl_path(standard.string());
  c.set_base_custom_drl_path(drl_.string());
  write_file(standard, "not a server list");
  EXPECT_EQ(run(c).exit_status, 0);
  // Without the custom file the standard one is read, and it is broken.
  c.set_base_custom_drl_path((dir_ / "absent.drl").string());
  EXPECT_EQ(run(c).exit_status, 90);
}

TEST_F(UpdateRun, ZoneWithoutServerListIsLeftOutWithAWarning) {
  prepare_sample();
  auto c = sample_config();
  c.clear_base_drl_path();
  const auto run = this->run(c);
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_TRUE(has_line(run, "Warning: No DRL-file for for BASE"));
  EXPECT_EQ(run.request->install().to_place_size(), 0);
}

TEST_F(UpdateRun, UncreatableStagingDirectoryEndsWithBadConfig) {
  prepare_sample();
  // A dangling link: the staging folder neither exists nor can be made.
  fs::create_symlink(dir_ / "missing" / "bases", update_ / "bases");
  const auto run = this->run(sample_config());
  EXPECT_EQ(run.exit_status, 102);
  EXPECT_TRUE(has_line(run, "Error: UpdateDir creation: \"" + (update_ / "bases").string() +
                                "\": Too many levels of symbolic links"));
}

TEST_F(UpdateRun, MissingNetworkTimeoutMeansThirtySecondsNotZero) {
  prepare_sample();
  auto c = sample_config();
  c.clear_network_timeout();
  EXPECT_EQ(run(c).exit_status, 0);
}

TEST_F(UpdateRun, HttpsServerDeliversTheSameFiles) {
  prepare_sample();
  write_drl({https_base()});
  const auto run = this->run(sample_config());
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  EXPECT_EQ(placed_names(*run.request).size(), 3u);
}

TEST_F(UpdateRun, DigestProxyCarriesTheWholeUpdate) {
  if (!squid_proxy_t::unavailable_reason().empty())
    GTEST_SKIP() << "squid is needed: " << squid_proxy_t::unavailable_reason();
  prepare_sample();
  squid_proxy_t proxy(squid_proxy_t::digest, "updater", "s3cret");
  auto c = sample_config();
  c.mutable_proxy()->set_type(nb::Proxy::PROXY_TYPE_HTTP);
  c.mutable_proxy()->set_host("127.0.0.1");
  c.mutable_proxy()->set_port(proxy.port());
  c.mutable_proxy()->set_user("updater");
  c.mutable_proxy()->set_password("s3cret");
  const auto run = this->run(c);
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  EXPECT_EQ(placed_names(*run.request).size(), 3u);
  EXPECT_NE(proxy.access_log().find("c.vdb.lzma"), std::string::npos);
}

TEST_F(UpdateRun, TerminationDuringDownloadsLeavesLocalFilesAndTheNextRunCompletes) {
  prepare_sample();
  const std::string list = read_file(served_root_->path() / id_ / "version.lst");
  // Serves the list, then holds every file request open.
  fake_http_server_t stalling([&](fake_peer_t& peer) {
    const std::string head = peer.read_head();
    if (head.find("version.lst") != std::string::npos) {
      peer.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(list.size()) + "\r\n\r\n" + list);
      return;
    }
    peer.hold();
  });
  write_drl({stalling.url()});
  const auto before = files_in(local_);
  {
    nb::Configd2UpdateMessage message;
    message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
    *message.mutable_config() = sample_config();
    fake_monitor_t monitor(component());
    monitor.send(message);
    // Wait until the downloads have begun.
    for (;;) {
      const auto progress = monitor.receive();
      ASSERT_TRUE(progress);
      if (progress->has_download() && progress->download().has_current_file()) break;
    }
    monitor.kill(SIGTERM);
    EXPECT_EQ(monitor.wait_exit(), 107);
  }
  EXPECT_EQ(files_in(local_), before);
  write_drl({http_base()});
  const auto run = this->run(sample_config());
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_EQ(placed_names(*run.request).size(), 3u);
}

}  // namespace
}  // namespace upd::testing
