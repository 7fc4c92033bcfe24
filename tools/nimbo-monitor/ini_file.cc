#include "ini_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "config_error.h"

namespace upd::monitor {

namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

std::string where(const ini_file_t& file, int line) {
  return file.file_name + ":" + std::to_string(line) + ": ";
}

ini_file_t parse_ini(const std::string& text, const std::string& file_name) {
  ini_file_t file{file_name, {}};
  std::string section;
  int line_number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    ++line_number;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']' || trim(line.substr(1, line.size() - 2)).empty())
        throw config_error_t(nb::EC_UNKNOWN_SECTION,
                             where(file, line_number) + "expected a section header like [Update]");
      section = trim(line.substr(1, line.size() - 2));
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos || trim(line.substr(0, equals)).empty())
      throw config_error_t(nb::EC_INVALID_OPTION_VALUE,
                           where(file, line_number) + "expected Name = value");
    if (section.empty())
      throw config_error_t(nb::EC_UNKNOWN_SECTION,
                           where(file, line_number) + "option before the first [Section]");
    file.entries.push_back(
        {section, trim(line.substr(0, equals)), unquote(trim(line.substr(equals + 1))), line_number});
  }
  return file;
}

ini_file_t read_ini(const boost::filesystem::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  if (!in)
    throw config_error_t(nb::EC_NO_SUCH_ENTRY,
                         path.string() + ": cannot open: " + std::strerror(errno));
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > max_ini_size)
      throw config_error_t(nb::EC_INVALID_ARGUMENT,
                           path.string() + ": larger than " + std::to_string(max_ini_size) + " bytes");
  }
  if (in.bad()) throw config_error_t(nb::EC_IO_ERROR, path.string() + ": read error");
  return parse_ini(text, path.string());
}

}  // namespace upd::monitor
