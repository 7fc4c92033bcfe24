// Patches end to end: nimbo-publish --history writes them, nginx (directly
// or through a mirror) serves them, the real program applies them, and every
// way a patch or its index can go wrong ends with the whole file.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <filesystem>
#include <functional>

#include "formats/file_sha256.h"
#include "formats/signature.h"
#include "support/child_process.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

// A signature base on a day: records age out at the front and arrive at the end.
std::string base(int day) {
  std::string text;
  for (int i = day * 40; i < 4000 + day * 40; ++i)
    text += "sig" + std::to_string(i) + " " +
            bytes_to_hex(sha256_digest(std::to_string(i))).substr(0, 24) + "\n";
  return text;
}

std::string hex(const std::string& content) { return bytes_to_hex(sha256_digest(content)); }

void write_index(const fs::path& dir, const std::string& head, const std::string& line) {
  write_file(dir / "version.lst.patches", head + line);
}

TEST_F(UpdateRunTest, FetchesThePatchFromTheLocalContentAndTheWholeFileWhenThePatchFails) {
  const std::string history = (dir_ / "history").string(), today = base(3);
  for (int day = 0; day < 4; ++day)
    publish({{"base.dat", base(day)}},
            {"--history", history, "--keep", "3", "--serial", std::to_string(day + 1)}, "",
            day > 0);
  const std::string extra = "one record too many\n";
  const std::string head = "nimbo-patches 1\nserial 4\n",
                    patch = "base.dat.patch-" + hex(base(2)).substr(0, 16);
  const auto index_line = [&](std::uint64_t size) {
    return "base.dat " + hex(base(2)) + " " + std::to_string(size) + "\n";
  };
  const struct {
    const char* name;
    int local_day;  // -1: a content the history never held
    std::function<void(const fs::path& served)> change;
    const char* fetched;  // of "patch" and "lzma"
    std::string notice;
  } cases[] = {
      {"Yesterday", 2, nullptr, "patch", "Downloaded base.dat by patch"},
      {"TwoDaysBack", 1, nullptr, "patch", "Downloaded base.dat by patch"},
      {"LeftTheHistory", 0, nullptr, "lzma", ""},
      {"Unknown", -1, nullptr, "lzma", ""},
      {"FromMirror", 2, nullptr, "patch", "Downloaded base.dat by patch"},
      {"Corrupt", 2,
       [&](const fs::path& dir) {
         std::string bytes = read_file(dir / patch);
         bytes[bytes.size() / 2] ^= 0x55;
         write_file(dir / patch, bytes);
       },
       "patch lzma", "Patch of base.dat failed"},
      {"Truncated", 2,
       [&](const fs::path& dir) { fs::resize_file(dir / patch, fs::file_size(dir / patch) / 2); },
       "patch lzma", "Patch of base.dat failed"},
      {"OtherSerial", 2,
       [&](const fs::path& dir) { write_index(dir, "nimbo-patches 1\nserial 3\n", index_line(9)); },
       "lzma", "version.lst.patches from"},
      {"Malformed", 2, [&](const fs::path& dir) { write_index(dir, head, "base.dat 00 9\n"); },
       "lzma", "version.lst.patches from"},
      {"BeyondTheListedSize", 2,
       [&](const fs::path& dir) {
         write_file(dir_ / "old", base(2));
         write_file(dir_ / "new", today + extra);
         ASSERT_TRUE(run_program({"zstd", "-qf", "--patch-from=" + (dir_ / "old").string(),
                                  (dir_ / "new").string(), "-o", (dir / patch).string()},
                                 dir_ / "zstd.out"));
         write_index(dir, head, index_line(fs::file_size(dir / patch)));
       },
       "patch lzma", "makes " + std::to_string(today.size() + extra.size()) + " bytes"},
  };
  EXPECT_FALSE(fs::exists(served() / ("base.dat.patch-" + hex(base(0)).substr(0, 16))));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = served(c.name);
    if (std::string(c.name) == "FromMirror")
      ASSERT_TRUE(
          run_program({NIMBO_BINARY_DIR "/bin/nimbo-publish", "mirror", "--from", http_base(),
                       "--out", dir.string(), "--key", NIMBO_SOURCE_DIR "/keys/dev.key"},
                      dir_ / "mirror.out"));
    else
      std::filesystem::copy(served().string(), dir.string(),
                            std::filesystem::copy_options::recursive);
    if (c.change) c.change(dir);
    write_drl({nginx_->http_url(id_ + c.name + "/")});
    write_file(local_ / "base.dat", c.local_day < 0 ? "unknown" : base(c.local_day));
    reset_update_dir();
    const auto run = this->run();
    expect_staged(run, {{"base.dat", today}}, 1);
    EXPECT_EQ(tree(update_ / "bases").size(), 1u);
    const std::string log = nginx_->access_log(), uri = "/" + id_ + c.name + "/base.dat";
    const bool by_patch = std::string(c.fetched).starts_with("patch");
    EXPECT_EQ(log.find(uri + ".patch-") != std::string::npos, by_patch);
    if (by_patch) {
      const std::string name = "base.dat.patch-" + hex(base(c.local_day)).substr(0, 16);
      EXPECT_NE(log.find("/" + id_ + c.name + "/" + name + " "), std::string::npos);
      if (!c.change) {
        EXPECT_TRUE(has_line(run, "Downloaded base.dat by patch (" + std::to_string(fs::file_size(dir / name)) +
                                      " bytes)"));
      }
    }
    EXPECT_EQ(log.find(uri + ".lzma ") != std::string::npos,
              std::string(c.fetched).ends_with("lzma"));
    if (!c.notice.empty()) {
      EXPECT_TRUE(has_line(run, c.notice)) << ::testing::PrintToString(run.log);
    }
  }
}

}  // namespace
}  // namespace upd::testing
