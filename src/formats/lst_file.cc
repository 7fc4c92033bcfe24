#include "formats/lst_file.h"

#include <fnmatch.h>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "common/log.h"
#include "common/printable.h"
#include "formats/lst_grammar.h"
#include "formats/key_tables.h"
#include "formats/signature.h"

namespace upd {
namespace {

// Nine digits always fit; longer texts go through the conversion routine,
// whose error for values above 2^32 - 1 reaches the caller.
std::uint32_t size_value(std::string_view digits) {
  if (digits.size() > 9) return boost::lexical_cast<std::uint32_t>(std::string(digits));
  std::uint32_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::uint32_t>(c - '0');
  return value;
}

// The reason goes into the exception too: the zone names it when it passes
// the server over.
[[noreturn]] void fail(const std::string& reason) {
  UPD_LOG(log_debug, "Lst: " << reason);
  throw boost::system::system_error(nb::make_error_code(nb::EC_BAD_LST_FILE), reason);
}

}  // namespace

lst_file_t lst_file_t::parse(std::span<const char> bytes) {
  return parse(bytes, [](std::string_view signed_part, std::string_view signature) {
    return verify_signature(signed_part.data(), signed_part.size(), signature);
  }, DsaKeyId);
}

lst_file_t lst_file_t::parse(std::span<const char> bytes, const signature_check_t& signature_holds,
                             const std::string& key_id) {
  const std::string_view file(bytes.data(), bytes.size());
  const auto layout = match_lst_layout(file);
  if (!layout) {
    fail("Invalid file structure");
  }
  // Nothing of the body is looked at before the signature holds.
  if (!signature_holds(layout->signed_part, layout->signature)) {
    fail("Invalid signature" + (key_id.empty() ? "" : " (DSA key " + key_id + ")"));
  }
  lst_file_t list;
  list.serial_ = serial_value(layout->serial);
  std::size_t position = 0;
  std::string_view line;
  while (next_body_line(layout->body, position, line)) {
    if (const auto entry = match_entry_line(line)) {
      // Lists usually come sorted: the hint makes each insertion constant time.
      lst_entry_t& stored = list.files_.try_emplace(list.files_.end(), std::string(entry->name))->second;
      stored.checksum = hex_to_bytes(entry->checksum);
      stored.size = size_value(entry->size);
    } else if (const auto pattern = match_removal_line(line)) {
      list.patterns_.emplace_back(*pattern);
    } else {
      fail("Unexpected line '" + printable(line) + "'");
    }
  }
  if (list.files_.empty()) {
    fail("Empty data section");
  }
  return list;
}

bool serial_is_older(const std::string& serial, const std::string& than) {
  if (serial.size() != than.size()) return serial.size() < than.size();
  return serial < than;
}

bool lst_file_t::contains(const std::string& name) const { return files_.count(name) != 0; }

std::string lst_file_t::checksum_of(const std::string& name) const {
  const auto found = files_.find(name);
  return found == files_.end() ? std::string() : found->second.checksum;
}

std::uint32_t lst_file_t::size_of(const std::string& name) const {
  const auto found = files_.find(name);
  return found == files_.end() ? 0 : found->second.size;
}

std::vector<std::string> lst_file_t::file_names() const {
  std::vector<std::string> names;
  names.reserve(files_.size());
  for (const auto& file : files_) names.push_back(file.first);
  return names;
}

bool lst_file_t::matches_pattern(const std::string& name) const {
  for (const auto& pattern : patterns_)
    if (::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE) == 0) return true;
  return false;
}

}  // namespace upd
