#include "formats/patch_index.h"

#include <stdexcept>

#include "formats/repository_index.h"
#include "formats/signature.h"

namespace upd {
namespace {

constexpr std::size_t digest_digits = 64;
// A patch is smaller than its file, and a listed file is under 4 GiB.
constexpr std::size_t max_size_digits = 10;

bool all_of(std::string_view text, std::string_view allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

}  // namespace

patch_index_t::patch_index_t(std::string_view text, const std::string& serial) {
  const auto lines = repository_index_lines(text, "nimbo-patches 1", serial);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto first = line.find(' '), second = line.find(' ', first + 1);
    const std::string_view name = line.substr(0, first);
    const std::string_view digest =
        first == line.npos ? "" : line.substr(first + 1, second - first - 1);
    const std::string_view size = second == line.npos ? "" : line.substr(second + 1);
    if (!is_listable_name(name) || digest.size() != digest_digits ||
        !all_of(digest, "0123456789abcdef") || !all_of(size, "0123456789") ||
        size.size() > max_size_digits ||
        !sizes_
             .emplace(std::pair(std::string(name), std::string(digest)),
                      std::stoull(std::string(size)))
             .second)
      throw bad_index_line(i, "NAME OLDSHA256 SIZE");
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
