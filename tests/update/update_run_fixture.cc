#include "update/update_run_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>

#include "formats/file_sha256.h"
#include "support/child_process.h"

namespace upd::testing {

namespace fs = boost::filesystem;

void UpdateRunTest::SetUpTestSuite() {
  if (!nginx_server_t::unavailable_reason().empty()) return;
  served_root_ = std::make_unique<temp_dir_t>();
  nginx_ = std::make_unique<nginx_server_t>(served_root_->path());
}

void UpdateRunTest::TearDownTestSuite() {
  nginx_.reset();
  served_root_.reset();
}

void UpdateRunTest::SetUp() {
  if (!nginx_) GTEST_SKIP() << "nginx is needed: " << nginx_server_t::unavailable_reason();
  id_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::create_directories(local_);
  reset_update_dir();
}

void UpdateRunTest::reset_update_dir() const {
  fs::remove_all(update_);
  fs::create_directory(update_);
  fs::permissions(update_, fs::perms::owner_all);
}

namespace {

// Runs "nimbo-publish COMMAND --key dev.key ARGS... MORE...".
void publish_tool(const std::string& command, std::vector<std::string> args, const std::vector<std::string>& more,
                  const fs::path& output) {
  args.insert(args.begin(),
              {NIMBO_BINARY_DIR "/bin/nimbo-publish", command, "--key", NIMBO_SOURCE_DIR "/keys/dev.key"});
  args.insert(args.end(), more.begin(), more.end());
  if (!run_program(args, output)) throw std::runtime_error("nimbo-publish failed: " + read_file(output));
}

}  // namespace

std::string UpdateRunTest::publish(const files_t& files, const std::vector<std::string>& options,
                                   const std::string& suffix, bool over) {
  const fs::path source = dir_ / "source", out = served(suffix);
  fs::remove_all(source);
  fs::create_directories(source);
  for (const auto& [name, content] : files) write_file(source / name, content);
  if (!over) fs::remove_all(out);
  publish_tool("list", {"--source", source.string(), "--out", out.string()}, options, dir_ / "publish.out");
  // Published a while ago, each time a second later: a list served within
  // the second it changed keeps no validators for the next run.
  static std::time_t published = std::time(nullptr) - 24 * 60 * 60;
  ++published;
  for (const auto& entry : fs::directory_iterator(out)) fs::last_write_time(entry.path(), published);
  return nginx_->http_url(id_ + suffix + "/");
}

fs::path UpdateRunTest::served(const std::string& suffix) const { return served_root_->path() / (id_ + suffix); }

void UpdateRunTest::write_drl(const std::vector<std::string>& urls) {
  publish_tool("drl", {"--out", drl_.string()}, urls, dir_ / "publish.out");
}

std::string UpdateRunTest::http_base() const { return nginx_->http_url(id_ + "/"); }

nb::UpdateConfig UpdateRunTest::config() const {
  nb::UpdateConfig config = use_context(file_log(log_), update_.string()).config();
  config.set_network_timeout(5000);
  config.set_base_installed(true);
  config.set_base_update_enabled(true);
  config.set_base_drl_path(drl_.string());
  config.set_virus_base_dir(local_.string());
  return config;
}

run_result_t UpdateRunTest::run(const nb::UpdateConfig& config) {
  fs::remove(log_);
  launch_t launch = component();
  launch.program = program_;
  fake_monitor_t monitor(launch);
  component_pid_ = monitor.pid();
  monitor.send(context_of(config));
  run_result_t result;
  result.request = monitor.receive_until(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
  if (result.request) monitor.send(install_response());
  result.exit_status = monitor.wait_exit();
  component_pid_ = 0;
  result.log = file_log_lines(read_file(log_));
  return result;
}

void UpdateRunTest::expect_staged(const run_result_t& run, const files_t& published, int count) {
  ASSERT_EQ(run.exit_status, 0) << ::testing::PrintToString(run.log);
  ASSERT_EQ(run.request->install().to_place_size(), count);
  for (const auto& item : run.request->install().to_place()) {
    SCOPED_TRACE(item.source());
    struct stat status {};
    ASSERT_EQ(::lstat(item.source().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_nlink, 1u);
    EXPECT_EQ(read_file(item.source()), published.at(fs::path(item.source()).filename().string()));
    EXPECT_EQ(item.sha256(), sha256_digest(read_file(item.source())));
  }
}

files_t UpdateRunTest::tree(const fs::path& dir) {
  files_t files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    files[fs::relative(entry.path(), dir).string()] =
        fs::is_regular_file(entry.status()) ? read_file(entry.path()) : std::string("<dir>");
  return files;
}

bool has_line(const run_result_t& run, const std::string& needle) {
  return std::any_of(run.log.begin(), run.log.end(),
                     [&](const std::string& line) { return line.find(needle) != std::string::npos; });
}

std::vector<std::string> path_names(const google::protobuf::RepeatedPtrField<std::string>& paths) {
  std::vector<std::string> names;
  for (const auto& path : paths) names.push_back(fs::path(path).filename().string());
  return names;
}

}  // namespace upd::testing
