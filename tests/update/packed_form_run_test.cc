// The packed-form index end to end: nimbo-publish writes it, nginx serves
// it, and the real program asks for NAME.lzma only where it says there is
// one; a repository without it, or with one that is wrong, still serves a
// whole update.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <filesystem>
#include <functional>
#include <random>

#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

TEST_F(UpdateRunTest, AsksForThePackedFormOnlyWhereTheIndexOffersOne) {
  std::mt19937 random(11);
  std::string noise(20000, '\0');
  for (auto& c : noise) c = static_cast<char>(random());
  const files_t files = {{"text.dat", std::string(20000, 't')}, {"noise.bin", noise}};
  publish(files, {"--serial", "7"});
  const struct {
    const char* name;
    std::function<void(const fs::path& served)> change;
    bool text_packed_asked, noise_packed_asked;
    const char* notice;
  } cases[] = {
      {"Published", nullptr, true, false, ""},
      {"WithoutIndex", [](const fs::path& dir) { fs::remove(dir / "version.lst.packed"); }, true, true, ""},
      {"OtherSerial",
       [](const fs::path& dir) { write_file(dir / "version.lst.packed", "nimbo-packed 1\nserial 6\ntext.dat\n"); },
       true, true, "ignored: it belongs to serial 6, not 7"},
      {"Malformed",
       [](const fs::path& dir) { write_file(dir / "version.lst.packed", "nimbo-packed 1\nserial 7\ntext.dat\ntext.dat\n"); },
       true, true, "ignored: line 4 is not a new \"NAME\""},
      // Wrong both ways: the form it names is missing, the one it omits is there.
      {"Misleading",
       [](const fs::path& dir) { write_file(dir / "version.lst.packed", "nimbo-packed 1\nserial 7\nnoise.bin\n"); },
       false, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = served(c.name);
    std::filesystem::copy(served().string(), dir.string(), std::filesystem::copy_options::recursive);
    if (c.change) c.change(dir);
    write_drl({nginx_->http_url(id_ + c.name + "/")});
    reset_update_dir();
    const auto run = this->run();
    expect_staged(run, files, 2);
    const std::string log = nginx_->access_log(), uri = "/" + id_ + c.name + "/";
    EXPECT_NE(log.find(uri + "version.lst.packed "), std::string::npos);
    EXPECT_EQ(log.find(uri + "text.dat.lzma ") != std::string::npos, c.text_packed_asked) << log;
    EXPECT_EQ(log.find(uri + "noise.bin.lzma ") != std::string::npos, c.noise_packed_asked) << log;
    EXPECT_NE(log.find(uri + "noise.bin "), std::string::npos);
    if (*c.notice) {
      EXPECT_TRUE(has_line(run, c.notice)) << ::testing::PrintToString(run.log);
    }
  }
}

}  // namespace
}  // namespace upd::testing
