// The grammar of the update list "version.lst", matched in one pass without
// backtracking or recursion, so time is linear and stack use fixed:
//
//   "[NimboUpdateList]" LB "[" DIGITS "]" LB BODY "[NimboUpdateListEnd]" LB
//   LB "[Signature]" LB "Signature=" HEX WS* <end>
//
// LB is CR LF, CR, LF or FF; a CR LF pair is preferred to a lone CR where
// both lead to a match. BODY (one or more bytes of any kind) runs to the
// last end marker after which the rest matches; the signed part runs from
// the first byte through the line break right after that end marker.
// Body lines are "+NAME, HEX, DIGITS" entries or "-PATTERN,..." removals.
// Everything here only looks at the caller's bytes; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace upd {

struct lst_layout_t {
  std::string_view signed_part;  // group 1
  std::string_view body;         // group 2
  std::string_view signature;    // group 3: the hexadecimal digits
  std::string_view serial;       // the bracketed number after the first line
};

std::optional<lst_layout_t> match_lst_layout(std::string_view file);

// The serial's digits as lst_file_t::serial() gives them: without leading
// zeros, "0" when all are zeros.
std::string serial_value(std::string_view digits);

// Cuts the body at its line breaks: returns the next line starting at
// `position` and moves `position` past the line's break. Text after the
// last break is a line only when it is not empty. False when done.
bool next_body_line(std::string_view body, std::size_t& position, std::string_view& line);

struct lst_entry_line_t {
  std::string_view name, checksum, size;
};

// "+" NAME ", " HEX ", " DIGITS, the whole line. NAME is letters, digits,
// "." and "_", but not "." or "..": those name directories.
std::optional<lst_entry_line_t> match_entry_line(std::string_view line);

// "-" PATTERN "," and anything up to the end of the line; PATTERN is
// letters, digits, "?", "*", "." and "_". Returns the pattern.
std::optional<std::string_view> match_removal_line(std::string_view line);

}  // namespace upd
