#include "formats/repository_index.h"

#include <stdexcept>

#include "formats/lst_grammar.h"

namespace upd {

namespace {

// Cuts the next LF-ended line off text.
std::string_view take_line(std::string_view& text, std::size_t number) {
  const auto end = text.find('\n');
  if (end == std::string_view::npos)
    throw std::invalid_argument("line " + std::to_string(number) + " has no end");
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

}  // namespace

std::vector<std::string_view> repository_index_lines(std::string_view text, std::string_view first_line,
                                                     const std::string& serial) {
  if (text.size() > max_repository_index_size) throw std::invalid_argument("larger than 1 MiB");
  if (take_line(text, 1) != first_line)
    throw std::invalid_argument("line 1 is not \"" + std::string(first_line) + "\"");
  const std::string_view serial_line = take_line(text, 2);
  const std::string_view digits = serial_line.starts_with("serial ") ? serial_line.substr(7) : "";
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
    throw std::invalid_argument("line 2 is not \"serial N\"");
  if (serial_value(digits) != serial)
    throw std::invalid_argument("it belongs to serial " + std::string(digits) + ", not " + serial);
  std::vector<std::string_view> lines;
  while (!text.empty()) lines.push_back(take_line(text, lines.size() + 3));
  return lines;
}

std::invalid_argument bad_index_line(std::size_t index, std::string_view format) {
  return std::invalid_argument("line " + std::to_string(index + 3) + " is not a new \"" + std::string(format) +
                               "\"");
}

bool is_listable_name(std::string_view name) {
  return match_entry_line("+" + std::string(name) + ", 00, 0").has_value();
}

}  // namespace upd
