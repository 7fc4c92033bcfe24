// Installing what the component staged (INSTALL_UPDATES_REQUEST), so that a
// crash at any moment leaves every destination either old or new, never
// half-written:
//
//   check    every path is absolute, clean and inside the update zones
//   sweep    temporary files that a crashed installation left in the zones'
//            directories are deleted
//   prepare  each staged file is copied into a temporary file beside its
//            destination (missing directories are created) and flushed
//   commit   each temporary file is renamed over its destination (atomic)
//            and the directories are flushed
//   clean    the staged copies are deleted, then the files listed for removal
//
// A failure while checking or preparing changes no destination and leaves no
// temporary file. Removals happen only after every placement succeeded. An
// installed file never carries set-user-ID, set-group-ID or sticky bits.
// Runs on the caller's thread; blocks for the file I/O.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
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

install_result_t install_updates(const nb::InstallRequest& request, const install_scope_t& scope);

}  // namespace upd::monitor
