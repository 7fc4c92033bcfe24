// The publishers' tools run as programs in a temporary folder, with the key
// files every case may use made by nimbo-keygen.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <map>
#include <string>
#include <vector>

#include "formats/list_signature.h"
#include "formats/lst_file.h"
#include "keyfile/ed25519_key.h"
#include "keyfile/key_file.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace upd::testing {

namespace fs = boost::filesystem;

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!read_key_file(NIMBO_TEST_KEY).x) GTEST_SKIP() << "the build's key file holds no private part";
    for (const auto& made : made_) ASSERT_EQ(run(made.argv), "");
    ASSERT_TRUE(run_program({"openssl", "genpkey", "-algorithm", "X25519", "-out", path("x25519.pem")}, dir_ / "o"));
  }
  // Runs a program (of the build when named nimbo-*); returns its output,
  // prefixed with "failed: " on a non-zero exit.
  std::string run(std::vector<std::string> argv) {
    if (argv[0].starts_with("nimbo-")) argv[0] = NIMBO_BINARY_DIR "/bin/" + argv[0];
    fs::remove(dir_ / "output");  // run_program appends
    const bool ok = run_program(argv, dir_ / "output");
    return (ok ? "" : "failed: ") + read_file(dir_ / "output");
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // "nimbo-publish list" of these files into out_, serial 0042, with more options.
  std::string publish(const std::map<std::string, std::string>& files, std::vector<std::string> options = {}) {
    fs::remove_all(source_);
    fs::create_directory(source_);
    for (const auto& [name, content] : files) write_file(source_ / name, content);
    options.insert(options.begin(), {"nimbo-publish", "list", "--key", NIMBO_TEST_KEY, "--source", source_.string(),
                                     "--out", out_.string(), "--serial", "0042"});
    return run(options);
  }
  temp_dir_t dir_;
  fs::path source_ = dir_ / "source", out_ = dir_ / "out";
  const std::string keys_[2] = {path("old.pem"), path("new.pem")};
  // The key files every case may use, with the permission bits they get.
  const struct {
    std::vector<std::string> argv;
    unsigned mode;
  } made_[5] = {
      {{"nimbo-keygen", path("dsa.key")}, 0600},
      {{"nimbo-keygen", "--ed25519", keys_[0]}, 0600},
      {{"nimbo-keygen", "--ed25519", keys_[1]}, 0600},
      {{"nimbo-keygen", "--public", NIMBO_TEST_KEY, path("dsa-public.key")}, 0644},
      {{"nimbo-keygen", "--public", keys_[0], path("public.pem")}, 0644},
  };
};

// Every entry, hidden ones too, with its bytes, permissions and (unless
// only the content matters) modification time.
inline std::map<std::string, std::string> folder_state(const fs::path& folder, bool times = true) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    state[entry.path().filename().string()] =
        (S_ISREG(status.st_mode) ? read_file(entry.path()) : "(not a file)") + " mode " +
        std::to_string(status.st_mode & 07777) +
        (times ? " @" + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) : "");
  }
  return state;
}

}  // namespace upd::testing
