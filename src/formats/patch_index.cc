#include "formats/patch_index.h"

#include <stdexcept>

#include "formats/lst_grammar.h"
#include "formats/signature.h"

namespace upd {
namespace {

constexpr std::size_t digest_digits = 64;
// A patch is smaller than its file, and a listed file is under 4 GiB.
constexpr std::size_t max_size_digits = 10;

bool all_of(std::string_view text, std::string_view allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

constexpr std::string_view digits = "0123456789";

// Cuts the next LF-ended line off text; a text that does not end in LF
// has a last line without its end.
std::string_view take_line(std::string_view& text, std::size_t number) {
  const auto end = text.find('\n');
  if (end == std::string_view::npos)
    throw std::invalid_argument("line " + std::to_string(number) + " has no end");
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

}  // namespace

patch_index_t::patch_index_t(std::string_view text, const std::string& serial) {
  if (text.size() > max_patch_index_size) throw std::invalid_argument("larger than 1 MiB");
  if (take_line(text, 1) != "nimbo-patches 1")
    throw std::invalid_argument("line 1 is not \"nimbo-patches 1\"");
  const std::string_view serial_line = take_line(text, 2);
  if (!serial_line.starts_with("serial ") || !all_of(serial_line.substr(7), digits))
    throw std::invalid_argument("line 2 is not \"serial N\"");
  if (serial_value(serial_line.substr(7)) != serial)
    throw std::invalid_argument("it belongs to serial " + std::string(serial_line.substr(7)) +
                                ", not " + serial);
  for (std::size_t number = 3; !text.empty(); ++number) {
    const std::string_view line = take_line(text, number);
    const auto first = line.find(' '), second = line.find(' ', first + 1);
    const std::string_view name = line.substr(0, first);
    const std::string_view digest =
        first == line.npos ? "" : line.substr(first + 1, second - first - 1);
    const std::string_view size = second == line.npos ? "" : line.substr(second + 1);
    if (!match_entry_line("+" + std::string(name) + ", 00, 0") || digest.size() != digest_digits ||
        !all_of(digest, "0123456789abcdef") || !all_of(size, digits) ||
        size.size() > max_size_digits ||
        !sizes_
             .emplace(std::pair(std::string(name), std::string(digest)),
                      std::stoull(std::string(size)))
             .second)
      throw std::invalid_argument("line " + std::to_string(number) +
                                  " is not a new \"NAME OLDSHA256 SIZE\"");
  }
}

std::optional<std::uint64_t> patch_index_t::patch_size(const std::string& name,
                                                       const std::string& old_sha256) const {
  const auto found = sizes_.find({name, bytes_to_hex(old_sha256)});
  if (found == sizes_.end()) return std::nullopt;
  return found->second;
}

std::vector<patch_entry_t> patch_index_t::entries() const {
  std::vector<patch_entry_t> entries;
  for (const auto& [key, size] : sizes_) entries.push_back({key.first, key.second, size});
  return entries;
}

std::string patch_file_name(const std::string& name, const std::string& old_sha256) {
  return name + ".patch-" + old_sha256.substr(0, 16);
}

}  // namespace upd
