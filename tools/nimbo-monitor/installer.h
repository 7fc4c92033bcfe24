// Installing what the component staged (INSTALL_UPDATES_REQUEST), so that a
// crash at any moment leaves every destination either old or new, never
// half-written:
//
//   check    every path is absolute, clean and inside the update zones
//   sweep    temporary files that a crashed installation left in the zones'
//            directories are deleted
//   prepare  each staged file, opened without following a link, is copied
//            into a temporary file beside its destination (missing
//            directories are created) and flushed; a copy whose SHA-256
//            differs from the one the request gives fails with EC_IO_ERROR
//   commit   each temporary file is renamed over its destination (atomic),
//            the files listed for removal are deleted, and only then are
//            the files named "timestamp" renamed into place; the directories
//            are flushed after each of these steps
//   clean    the staged copies are deleted
//
// A failure while checking or preparing changes no destination and leaves no
// temporary file. Removals happen only after every other placement succeeded,
// and a "timestamp" only after every removal. An installed file never carries
// set-user-ID, set-group-ID or sticky bits. Runs on the caller's thread;
// blocks for the file I/O.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "error.pb.h"
#include "install.pb.h"
#include "update_config.pb.h"

namespace upd::monitor {

// What an installation request may touch.
struct install_scope_t {
  boost::filesystem::path staging_root;        // sources must lie below it
  std::vector<boost::filesystem::path> files;  // destinations allowed as such
  std::vector<boost::filesystem::path> dirs;   // destinations allowed directly inside
};

// The update directory; the zones' DRL and engine files; the zones' directories.
install_scope_t scope_of(const nb::UpdateConfig& config);

struct install_result_t {
  std::optional<nb::Error> error;  // absent on success
  std::size_t placed = 0;
  std::size_t removed = 0;         // files deleted (already missing ones are not counted)
};

// Puts a prepared file in place as rename() does; tests stop an installation
// halfway through it.
using rename_step_t = std::function<int(const char* from, const char* to)>;

install_result_t install_updates(const nb::InstallRequest& request, const install_scope_t& scope,
                                 const rename_step_t& rename = ::rename);

}  // namespace upd::monitor
