// A zone's update list "version.lst", parsed and verified: the listed files
// with their checksums and sizes, and the patterns of local files to remove.
//
// parse() checks, in this order, the file's structure, its signature, each
// body line and that at least one file is listed. A failure is logged at
// Debug ("Lst: ...") and thrown as a system error carrying EC_BAD_LST_FILE;
// an entry size above 2^32 - 1 throws boost::bad_lexical_cast instead. An
// entry named "." or ".." is an unexpected line: a list names files only.
// The object is a value; it belongs to its zone on the update worker.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace upd {

struct lst_entry_t {
  std::string checksum;  // decoded from the line's hexadecimal text
  std::uint32_t size = 0;
};

class lst_file_t {
 public:
  static lst_file_t parse(std::span<const char> bytes);
  // The same with another judge of the signature than the built-in key: a
  // publisher's mirror checks lists with the publisher's key file. The
  // key's id, when given, follows "Invalid signature" in the reason: the
  // list names no key, so the reader learns which one it failed.
  using signature_check_t = std::function<bool(std::string_view signed_part, std::string_view signature)>;
  static lst_file_t parse(std::span<const char> bytes, const signature_check_t& signature_holds,
                          const std::string& key_id = {});

  bool contains(const std::string& name) const;
  // Empty when the name has no entry.
  std::string checksum_of(const std::string& name) const;
  // 0 when the name has no entry.
  std::uint32_t size_of(const std::string& name) const;
  // All entry names in ascending byte order.
  std::vector<std::string> file_names() const;
  // Whether a removal pattern matches the name (fnmatch, FNM_NOESCAPE).
  bool matches_pattern(const std::string& name) const;

  const std::vector<std::string>& patterns() const { return patterns_; }
  // The signed bracketed number after the first line, in decimal without
  // leading zeros; publishers raise it with every list.
  const std::string& serial() const { return serial_; }

 private:
  std::string serial_;
  std::map<std::string, lst_entry_t> files_;
  std::vector<std::string> patterns_;
};

// The longest serial a list may carry, in digits (without leading zeros):
// enough for a time in seconds or a date with a counter, and it bounds what
// the zones record of the lists they install.
inline constexpr std::size_t max_serial_digits = 20;

// Compares two serials as lst_file_t::serial() gives them, of any length.
bool serial_is_older(const std::string& serial, const std::string& than);

}  // namespace upd
