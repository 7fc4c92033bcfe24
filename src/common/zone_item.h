// What an update attempt hands back: the files it fetched and staged, and the
// two sets of local paths it classified. Plain values, copied from the worker
// thread to the controller's thread; the zone code names the record
// zone_t::item_t.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "common/http_validators.h"

namespace upd {

// One file to fetch: where it belongs, where its staged copy lies, and what
// the zone's update list says about it.
struct zone_item_t {
  boost::filesystem::path destination;  // where the file is to be installed
  boost::filesystem::path source;       // the staged copy, inside the zone's staging directory
  std::uint32_t size = 0;               // listed size in bytes
  std::string sha256;                   // listed digest: 32 raw SHA-256 bytes
};

// Ordered by the path type's ordering, each path once.
using path_set_t = std::set<boost::filesystem::path>;

// A body as a server gave it, with the validators of its answer.
struct kept_body_t {
  std::string bytes;
  http_validators_t validators;

  friend bool operator==(const kept_body_t&, const kept_body_t&) = default;
};

// The update list a zone accepted, as it came: the next run asks its URL
// whether it changed, and verifies the kept bytes again when it did not.
struct kept_list_t {
  std::string url;  // of "version.lst"; the signature file's is beside it
  kept_body_t list;
  std::optional<kept_body_t> signature;

  friend bool operator==(const kept_list_t&, const kept_list_t&) = default;
};

// What is recorded of the update list a zone installed: its serial
// (lst_file_t::serial), whether it came with a valid detached signature,
// after which the zone accepts no list without one, and when that
// signature expires (seconds since the epoch; 0 when unsigned), which is
// when a mirror that stops being refreshed stops being believed.
struct installed_list_t {
  std::string serial;
  bool signed_list = false;
  std::int64_t expires = 0;
  // The list itself, handed from the attempt to be kept once installed;
  // shared, since a list may take megabytes. Not part of the serial record.
  std::shared_ptr<const kept_list_t> kept{};
};

// By zone name.
using zone_serials_t = std::map<std::string, installed_list_t>;

}  // namespace upd
