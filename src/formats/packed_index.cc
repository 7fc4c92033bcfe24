#include "formats/packed_index.h"

#include <stdexcept>

namespace upd {

namespace {
constexpr std::string_view first_line = "nimbo-packed 1";
}  // namespace

packed_index_t::packed_index_t(std::string_view text, const std::string& serial) {
  const auto lines = repository_index_lines(text, first_line, serial);
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (!is_listable_name(lines[i]) || !names_.emplace(lines[i]).second) throw bad_index_line(i, "NAME");
}

std::string packed_index_text(const std::string& serial, const std::vector<std::string>& names) {
  std::string text = std::string(first_line) + "\nserial " + serial + "\n";
  for (const auto& name : names) text += name + "\n";
  return text;
}

}  // namespace upd
