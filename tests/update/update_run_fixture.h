// A published repository served by a real nginx, a zone's local directory
// and a component run against them through the fake monitor: the frame of
// the end-to-end tests of the update engine.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <boost/filesystem/path.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "configd_update_ipc.pb.h"
#include "main/component.h"
#include "support/fake_monitor.h"
#include "support/nginx_server.h"
#include "support/test_support.h"

namespace upd::testing {

using files_t = std::map<std::string, std::string>;  // content by name

// What a run left behind.
struct run_result_t {
  std::optional<nb::Update2ConfigdMessage> request;  // the installation request, if any
  std::optional<int> exit_status;
  std::vector<std::string> log;  // the component's file log, without prefixes
};

class UpdateRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  // Publishes the files with more nimbo-publish options (--remove, --serial)
  // into this test's folder under the served root, or the folder of that
  // name and the suffix, emptied first unless over an earlier publication;
  // returns its URL.
  std::string publish(const files_t& files, const std::vector<std::string>& options = {},
                      const std::string& suffix = "", bool over = false);
  boost::filesystem::path served(const std::string& suffix = "") const;
  // Writes the BASE zone's DRL file naming these servers.
  void write_drl(const std::vector<std::string>& urls);
  // The base URL of this test's repository on the real server.
  std::string http_base() const;

  // An empty update directory that only this user can change, as the component demands.
  void reset_update_dir() const;
  nb::UpdateConfig config() const;
  // Runs the component; answers its installation request positively.
  run_result_t run(const nb::UpdateConfig& config);
  run_result_t run() { return run(config()); }

  // The run succeeded and staged count files, each a file of its own that
  // holds what was published under its name.
  static void expect_staged(const run_result_t& run, const files_t& published, int count);
  // Every file and folder below a folder by relative path.
  static files_t tree(const boost::filesystem::path& dir);

  static inline std::unique_ptr<nginx_server_t> nginx_;
  static inline std::unique_ptr<temp_dir_t> served_root_;
  temp_dir_t dir_;
  boost::filesystem::path local_ = dir_ / "local", update_ = dir_ / "update", drl_ = dir_ / "base.drl",
                          log_ = dir_ / "update.log";
  std::string id_;
  std::atomic<pid_t> component_pid_{0};  // while run() runs
  boost::filesystem::path program_ = component().program;  // what run() starts
};

// Whether a line of the run's log holds the needle.
bool has_line(const run_result_t& run, const std::string& needle);
std::vector<std::string> path_names(const google::protobuf::RepeatedPtrField<std::string>& paths);

}  // namespace upd::testing
