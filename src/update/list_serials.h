// The serial of the update list each zone last installed, kept in
// "nimbo-update.serials" in the update directory. A mirror that replays an
// older list, validly signed but superseded, would take every installed
// file back to that day; a zone accepts no list older than its record.
//
// The file is text, so that an administrator can read it and, to accept a
// publisher's deliberate reset, delete it:
//
//   nimbo-update serials 1
//   BASE 202612061700 signed 2026-12-13T17:00:00Z
//   NBS 202612061650
//   end
//
// "signed": the list came with a valid detached signature, so the zone
// accepts no list without one from then on; the time after it is when the
// installed list's signature expires (absent in records of older versions).
//
// It is replaced atomically (temporary file, fsync, rename, mode 0600). A
// missing file is an empty record; a damaged one is logged once and read as
// empty, which only weakens the check until the next installation.
#pragma once

#include <boost/filesystem/path.hpp>

#include "common/zone_item.h"

namespace upd {

inline constexpr const char* list_serials_name = "nimbo-update.serials";

zone_serials_t load_list_serials(const boost::filesystem::path& update_dir);

// Merges the zones' serials into the stored record; a zone once signed stays so. Throws the system error
// of a failed write; the old record then stays as it was.
void record_list_serials(const boost::filesystem::path& update_dir, const zone_serials_t& serials);

}  // namespace upd
