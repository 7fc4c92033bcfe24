// The publisher's tools run as programs, as publishers run them, in a
// temporary folder; and a folder's state, to show what a run changed.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <map>
#include <string>
#include <vector>

#include "keyfile/key_file.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace upd::testing {

class tool_test_t : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!read_key_file(NIMBO_TEST_KEY).x)
      GTEST_SKIP() << "the build's key file holds no private part";
  }
  // Runs a program of the build; returns its output, prefixed with
  // "failed: " on a non-zero exit.
  std::string run(std::vector<std::string> argv) {
    argv[0] = NIMBO_BINARY_DIR "/bin/" + argv[0];
    boost::filesystem::remove(dir_ / "output");  // run_program appends
    const bool ok = run_program(argv, dir_ / "output");
    return (ok ? "" : "failed: ") + read_file(dir_ / "output");
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // "nimbo-publish list" of these files into out_, serial 0042, with more options.
  std::string publish(const std::map<std::string, std::string>& files,
                      std::vector<std::string> options = {}) {
    boost::filesystem::remove_all(source_);
    boost::filesystem::create_directory(source_);
    for (const auto& [name, content] : files) write_file(source_ / name, content);
    options.insert(options.begin(), {"nimbo-publish", "list", "--key", NIMBO_TEST_KEY, "--source",
                                     source_.string(), "--out", out_.string(), "--serial", "0042"});
    return run(options);
  }

  temp_dir_t dir_;
  boost::filesystem::path source_ = dir_ / "source", out_ = dir_ / "out";
};

// Every entry, hidden ones too, with its bytes and modification time.
inline std::map<std::string, std::string> folder_state(const boost::filesystem::path& folder) {
  std::map<std::string, std::string> state;
  for (const auto& entry : boost::filesystem::directory_iterator(folder)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    state[entry.path().filename().string()] =
        (S_ISREG(status.st_mode) ? read_file(entry.path()) : "(not a file)") + " @" +
        std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
  }
  return state;
}

}  // namespace upd::testing
