// The patch index "version.lst.patches" a repository may hold beside its
// update list (repository_index.h): which older contents of which listed
// files have a patch, and how large each patch is, which bounds its
// transfer. First line "nimbo-patches 1", then one line a patch:
//
//   NAME " " OLDSHA256 " " SIZE
//
// NAME is a name the list format can carry, OLDSHA256 64 lowercase
// hexadecimal digits, SIZE the patch's byte count in decimal. Any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/repository_index.h"

namespace upd {

inline constexpr const char* patch_index_name = "version.lst.patches";

struct patch_entry_t {
  std::string name;
  std::string old_sha256;  // hexadecimal
  std::uint64_t size = 0;
};

class patch_index_t {
 public:
  // Throws std::invalid_argument saying what is wrong when the text is not
  // an index, or belongs to a list whose serial is not `serial` (as
  // lst_file_t::serial() gives it).
  patch_index_t(std::string_view text, const std::string& serial);

  // The size of the patch from the content with the 32 raw digest bytes
  // old_sha256 to the listed content of `name`, if there is one.
  std::optional<std::uint64_t> patch_size(const std::string& name,
                                          const std::string& old_sha256) const;
  // Every line, by name and digest.
  std::vector<patch_entry_t> entries() const;

 private:
  std::map<std::pair<std::string, std::string>, std::uint64_t>
      sizes_;  // by name and hexadecimal digest
};

// "NAME.patch-" and the first 16 digits of the old digest in hexadecimal:
// where the patch lies beside NAME. Listed names hold no "-",
// so no listed file has such a name.
std::string patch_file_name(const std::string& name, const std::string& old_sha256);

}  // namespace upd
