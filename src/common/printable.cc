#include "common/printable.h"

#include <algorithm>

namespace upd {
namespace {

bool is_control_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

}  // namespace

bool has_control_character(std::string_view text) {
  return std::any_of(text.begin(), text.end(), is_control_character);
}

bool is_printable_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

std::string printable(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (!is_control_character(c)) {
      result += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    result += "\\x";
    result += digits[byte >> 4];
    result += digits[byte & 0xf];
  }
  return result;
}

}  // namespace upd
