#include "formats/lst_grammar.h"

#include <array>

namespace upd {
namespace {

constexpr std::string_view list_begin = "[NimboUpdateList]";
constexpr std::string_view list_end = "[NimboUpdateListEnd]";
constexpr std::string_view signature_section = "[Signature]";
constexpr std::string_view signature_key = "Signature=";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_name_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_';
}
bool is_pattern_char(char c) { return is_name_char(c) || c == '?' || c == '*'; }

// Length of the line break at `at` (the pair first), 0 when there is none.
std::size_t break_at(std::string_view s, std::size_t at) {
  if (at >= s.size()) return 0;
  if (s[at] == '\r') return at + 1 < s.size() && s[at + 1] == '\n' ? 2 : 1;
  return s[at] == '\n' || s[at] == '\f' ? 1 : 0;
}
bool is_single_break(char c) { return c == '\r' || c == '\n' || c == '\f'; }

bool text_at(std::string_view s, std::size_t at, std::string_view text) {
  return at <= s.size() && s.substr(at).starts_with(text);
}

// Where the body starts: after "[NimboUpdateList]" LB "[" DIGITS "]". The
// second entry is the start with a lone CR taken from a CR LF break (the
// body then begins with the LF), tried only when the first gives no match.
std::array<std::size_t, 2> body_starts(std::string_view s, std::string_view& serial) {
  constexpr std::size_t none = std::string_view::npos;
  if (!s.starts_with(list_begin)) return {none, none};
  std::size_t at = list_begin.size();
  // A lone CR before an LF would leave the LF where "[" must stand.
  const std::size_t first_break = break_at(s, at);
  if (first_break == 0 || !text_at(s, at + first_break, "[")) return {none, none};
  at += first_break + 1;
  const std::size_t digits = at;
  while (at < s.size() && is_digit(s[at])) ++at;
  if (at == digits || !text_at(s, at, "]")) return {none, none};
  serial = s.substr(digits, at - digits);
  ++at;
  const std::size_t second_break = break_at(s, at);
  if (second_break == 0) return {none, none};
  return {at + second_break, second_break == 2 ? at + 1 : none};
}

// Start of "[Signature]": the one place from which LB "Signature=" HEX WS*
// reaches the end (digits and blanks do not overlap, so it is unique).
std::size_t signature_section_start(std::string_view s, std::string_view& digits) {
  std::size_t end = s.size();
  while (end > 0 && is_space(s[end - 1])) --end;
  std::size_t begin = end;
  while (begin > 0 && is_hex(s[begin - 1])) --begin;
  if (begin == end || begin < signature_key.size() ||
      s.substr(begin - signature_key.size(), signature_key.size()) != signature_key)
    return std::string_view::npos;
  digits = s.substr(begin, end - begin);
  const std::size_t key = begin - signature_key.size();
  // "[Signature]" CR LF "Signature=" or "[Signature]" CR|LF|FF "Signature=".
  for (std::size_t gap : {2, 1}) {
    if (key < gap + signature_section.size() || break_at(s, key - gap) != gap) continue;
    const std::size_t section = key - gap - signature_section.size();
    if (s.substr(section, signature_section.size()) == signature_section) return section;
  }
  return std::string_view::npos;
}

// Length of the first of two line breaks that fill exactly [at, at + length),
// or 0 when they do not. The pair is preferred for the first break.
std::size_t first_of_two_breaks(std::string_view s, std::size_t at, std::size_t length) {
  for (std::size_t first : {2, 1}) {
    if (first >= length) continue;
    const bool first_ok = first == 2 ? break_at(s, at) == 2 : is_single_break(s[at]);
    if (!first_ok) continue;
    const std::size_t second = length - first;
    const bool second_ok = second == 2 ? break_at(s, at + first) == 2 : is_single_break(s[at + first]);
    if (second_ok) return first;
  }
  return 0;
}

}  // namespace

std::optional<lst_layout_t> match_lst_layout(std::string_view s) {
  std::string_view serial;
  const auto starts = body_starts(s, serial);
  std::string_view digits;
  const std::size_t section = starts[0] == std::string_view::npos ? std::string_view::npos
                                                                  : signature_section_start(s, digits);
  if (section == std::string_view::npos) return std::nullopt;
  for (std::size_t body_start : starts) {
    if (body_start == std::string_view::npos) continue;
    // The greedy body ends at the latest end marker: the shortest gap of two breaks first.
    for (std::size_t gap = 2; gap <= 4; ++gap) {
      if (section < gap + list_end.size()) continue;
      const std::size_t marker = section - gap - list_end.size();
      if (marker <= body_start || s.substr(marker, list_end.size()) != list_end) continue;
      const std::size_t first = first_of_two_breaks(s, marker + list_end.size(), gap);
      if (first == 0) continue;
      return lst_layout_t{s.substr(0, marker + list_end.size() + first), s.substr(body_start, marker - body_start),
                          digits, serial};
    }
  }
  return std::nullopt;
}

bool next_body_line(std::string_view body, std::size_t& position, std::string_view& line) {
  if (position >= body.size()) return false;
  std::size_t end = position;
  while (end < body.size() && !is_single_break(body[end])) ++end;
  line = body.substr(position, end - position);
  position = end + break_at(body, end);
  // Text after the last break is a line only when not empty: reaching the
  // end without a break means the line is not empty here.
  return true;
}

std::optional<lst_entry_line_t> match_entry_line(std::string_view line) {
  std::size_t at = 1;
  auto run = [&](bool (*accept)(char)) {
    const std::size_t begin = at;
    while (at < line.size() && accept(line[at])) ++at;
    return line.substr(begin, at - begin);
  };
  auto separator = [&] {
    if (!text_at(line, at, ", ")) return false;
    at += 2;
    return true;
  };
  if (!line.starts_with('+')) return std::nullopt;
  lst_entry_line_t entry;
  entry.name = run(is_name_char);
  if (entry.name.empty() || entry.name == "." || entry.name == ".." || !separator()) return std::nullopt;
  entry.checksum = run(is_hex);
  if (entry.checksum.empty() || !separator()) return std::nullopt;
  entry.size = run(is_digit);
  if (entry.size.empty() || at != line.size()) return std::nullopt;
  return entry;
}

std::optional<std::string_view> match_removal_line(std::string_view line) {
  if (!line.starts_with('-')) return std::nullopt;
  std::size_t at = 1;
  while (at < line.size() && is_pattern_char(line[at])) ++at;
  if (at == 1 || !text_at(line, at, ",")) return std::nullopt;
  return line.substr(1, at - 1);
}

// Leading zeros say nothing about a number's size; without them a longer
// serial is a larger one, whatever its length.
std::string serial_value(std::string_view digits) {
  const std::size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? "0" : std::string(digits.substr(first));
}

}  // namespace upd
