// Fuzz target: the patch applier apply_patch_file, hostile frames against
// a fixed old file, the output bounded as the staging code bounds it by the
// listed size. The first two input bytes pick that size (big-endian), so
// that frames declaring other sizes and frames overrunning their own both
// meet it. A failure must be EC_DATA_CORRUPTED and leave no output; a
// success makes exactly that many bytes.
#include <stdlib.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <string>

#include "common/error.h"
#include "formats/patch_file.h"
#include "fuzz_support.h"

namespace fs = boost::filesystem;

namespace {

// The old content of the seeds in corpus/patch: "record 0" to "record 1999", a line each.
fs::path scratch() {
  static const fs::path dir = [] {
    // In memory where there is a tmpfs: every input is a few files.
    std::string name =
        fs::is_directory("/dev/shm") ? "/dev/shm/fuzz_patch.XXXXXX" : "/tmp/fuzz_patch.XXXXXX";
    FUZZ_CHECK(::mkdtemp(name.data()) != nullptr);
    std::ofstream old(fs::path(name) / "old", std::ios::binary);
    for (int i = 0; i < 2000; ++i) old << "record " << i << '\n';
    return fs::path(name);
  }();
  return dir;
}

}  // namespace

void fuzz_one(std::string_view bytes) {
  if (bytes.size() < 2) return;
  const std::uint64_t size =
      static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]);
  const fs::path dir = scratch(), out = dir / "out";
  std::ofstream(dir / "patch", std::ios::binary | std::ios::trunc)
      .write(bytes.data() + 2, bytes.size() - 2);
  try {
    upd::apply_patch_file(dir / "old", dir / "patch", out, size);
  } catch (const fs::filesystem_error& e) {
    FUZZ_CHECK(e.code() == nb::make_error_code(nb::EC_DATA_CORRUPTED));
    FUZZ_CHECK(!fs::exists(out));
    return;
  }
  FUZZ_CHECK(fs::file_size(out) == size);
}
