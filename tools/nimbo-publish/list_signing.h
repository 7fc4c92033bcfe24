// The detached Ed25519 signature of a zone's update list, "version.lst.sig"
// (formats/list_signature.h), as the publisher writes it: when a list is
// published, and again before it expires ("resign", the daily job).
// Failures throw std::runtime_error with a message for the operator.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "keyfile/ed25519_key.h"

namespace upd::publish {

struct list_signing_t {
  std::vector<ed25519_key_file_t> keys;  // private keys; none: no signature file
  std::time_t expires = 0;
  std::string zone;  // the zone the list is for; resign keeps the signed one
};

// The most that the updater downloads into memory as a list.
inline constexpr std::size_t max_list_size = 64 * 1024 * 1024;

// The file's bytes, at most limit of them; failures name the path.
std::string read_file(const std::filesystem::path& path, std::size_t limit);

// The serial of a list (path names it in errors), as lst_file_t::serial()
// gives it.
std::string serial_of(const std::filesystem::path& path, std::string_view list);

// The signature file for the list's exact bytes, with one line per key in
// the order given. The serial is read from the list itself.
std::string list_signature_text(std::string_view list, const list_signing_t& signing);

// What the signature file states, for the operator: "zone ZONE, expires
// DATE, key ID" (or "keys ID, ID").
std::string signing_summary(const list_signing_t& signing);

// Writes a new OUT/version.lst.sig for the unchanged OUT/version.lst, for
// the zone that the old one named, and touches nothing else. Only a list that one of the keys signed before is
// signed again: the file on the server may have changed since, and a new
// signature must not bless a list that only the weaker DSA key vouches for.
// Returns the line that tells the operator what was signed.
std::string resign_list(const std::filesystem::path& out, list_signing_t signing);

}  // namespace upd::publish
