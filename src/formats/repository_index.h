// The frame shared by the indexes a repository may hold beside its update
// list (patch_index.h, packed_index.h):
//
//   FIRST_LINE LF                        the format and its version
//   "serial " DIGITS LF                  the serial of the list it belongs to
//   ( LINE LF )*
//
// Indexes are not signed: they only steer what a client asks for, and the
// signed list's digest judges whatever arrives. The serial keeps an index
// written for another list from steering a client that took this one.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace upd {

// The most an index may take, on the wire and in memory.
inline constexpr std::uint64_t max_repository_index_size = 1 << 20;

// The lines after the serial's, without their LF; line i of the file is
// element i - 3. Throws std::invalid_argument saying what is wrong when the
// text is larger than the bound, does not begin with first_line and the
// serial line, belongs to a list whose serial is not `serial` (as
// lst_file_t::serial() gives it), or has a line without its LF.
std::vector<std::string_view> repository_index_lines(std::string_view text, std::string_view first_line,
                                                     const std::string& serial);

// "line N is not a new \"FORMAT\"": the error for the index's Nth line.
std::invalid_argument bad_index_line(std::size_t index, std::string_view format);

// Whether the line is a name the list format can carry.
bool is_listable_name(std::string_view name);

}  // namespace upd
