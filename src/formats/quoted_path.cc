#include "formats/quoted_path.h"

namespace upd {

std::string quoted_path(const boost::filesystem::path& path) {
  std::string quoted = "\"";
  for (char c : path.string()) {
    if (c == '"' || c == '&') quoted += '&';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace upd
