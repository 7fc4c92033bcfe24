// Reading the suite's INI layout into a flat list of entries, in file order:
//
//   ; a comment (also #), blank lines are ignored
//   [Section]
//   Name = value            ; everything after the first '=' is the value
//   Name = "  value  "      ; double quotes keep surrounding blanks
//
// Names and values are trimmed; there are no inline comments, so patterns
// may contain ';' and '#'. An option may repeat: what that means is up to
// the reader of the entries. Syntax errors throw config_error_t naming the
// file and line. Pure functions; any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <string>
#include <vector>

namespace upd::monitor {

struct ini_entry_t {
  std::string section;
  std::string name;
  std::string value;
  int line = 0;
};

struct ini_file_t {
  std::string file_name;  // used in messages only
  std::vector<ini_entry_t> entries;
};

// A configuration file larger than this is refused rather than read.
constexpr std::size_t max_ini_size = 1 << 20;

ini_file_t parse_ini(const std::string& text, const std::string& file_name);

// Reads and parses a file; an unreadable or oversized file throws config_error_t.
ini_file_t read_ini(const boost::filesystem::path& path);

// "file:line: " for messages about an entry.
std::string where(const ini_file_t& file, int line);

}  // namespace upd::monitor
