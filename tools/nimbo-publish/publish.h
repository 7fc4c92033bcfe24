// What nimbo-publish writes: a zone's update repository (the signed
// "version.lst", its detached signature "version.lst.sig", the plain NAME
// for every file, NAME.lzma where packing saves bytes and the index of
// those) and signed DRL server lists. Names and patterns the list format
// cannot carry, and URLs a DRL file cannot carry, are refused before
// anything is written. Failures throw std::runtime_error with a message
// for the operator.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "keyfile/key_file.h"
#include "list_signing.h"

namespace upd::publish {

struct list_options_t {
  std::filesystem::path source;       // the zone's files, one level deep
  std::filesystem::path out;          // created if missing
  std::vector<std::string> removals;  // patterns of local files to remove
  std::string serial;                 // the bracketed number of the list
  list_signing_t signing;             // no keys: no version.lst.sig
  bool allow_lower_serial = false;    // publish below OUT/version.lst's serial
  std::filesystem::path history;      // kept contents for patches; empty: no patches
  std::size_t keep = 7;               // contents kept per file in history, the new one included
};

struct list_result_t {
  std::size_t files = 0;          // listed
  std::string lowered_from;       // the serial of the list replaced by an older one; empty if none
};

// Writes OUT/NAME for every regular file of the source, and OUT/NAME.lzma
// where the packed form is under 97% of the file's size (never for
// "timestamp"; an older NAME.lzma goes where none is made now), then
// the patches to each changed file from the older contents kept in the
// history (patch_history.h), then
// OUT/version.lst, then OUT/version.lst.sig, then OUT/version.lst.packed
// (formats/packed_index.h) and OUT/version.lst.patches (without history,
// the patch index and the patches go), so that a mirror never offers a
// list that names files it lacks, nor a signature of a list it lacks. All are
// written under temporary names before the first is renamed into place: a
// failure leaves OUT as it was. The key must hold x.
// A serial older than that of the list OUT holds is refused, unless
// allowed: every client that took the published list would refuse the new
// one until its serial record goes.
list_result_t publish_list(const key_file_t& key, const list_options_t& options);

// The text of a signed DRL file: "url=" lines, then the "sign=" line.
std::string drl_text(const key_file_t& key, const std::vector<std::string>& urls);

}  // namespace upd::publish
