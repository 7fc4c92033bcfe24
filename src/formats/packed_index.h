// The packed-form index "version.lst.packed" a repository may hold beside
// its update list (repository_index.h): which listed files it also offers
// as NAME.lzma. Without it a client asks for NAME.lzma first and for NAME
// after a refusal, which costs a round trip for every file that packing
// does not shrink (random data, already compressed files); with it, a
// client asks for the form the repository has. First line "nimbo-packed 1",
// then one line a file:
//
//   NAME
//
// NAME is a name the list format can carry, each at most once. Any thread.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "formats/repository_index.h"

namespace upd {

inline constexpr const char* packed_index_name = "version.lst.packed";

class packed_index_t {
 public:
  // Throws std::invalid_argument saying what is wrong when the text is not
  // an index for the list with this serial.
  packed_index_t(std::string_view text, const std::string& serial);

  // Whether the repository offers NAME.lzma.
  bool packed(const std::string& name) const { return names_.count(name) != 0; }

 private:
  std::set<std::string, std::less<>> names_;
};

// The index of a list with this serial whose files `names` have a packed form.
std::string packed_index_text(const std::string& serial, const std::vector<std::string>& names);

}  // namespace upd
