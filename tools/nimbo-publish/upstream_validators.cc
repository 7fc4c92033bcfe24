#include "upstream_validators.h"

#include <sstream>

#include "formats/whole_file.h"

namespace upd::publish {
namespace {

constexpr std::size_t max_file_size = 64 * 1024;

}  // namespace

upstream_validators_t load_upstream_validators(const std::filesystem::path& out) {
  upstream_validators_t validators;
  std::string text;
  try {
    text =
        read_whole_file((out / upstream_validators_name).string(), max_file_size, links_t::refuse);
  } catch (const std::exception&) {
    return {};
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const auto first = line.find('\t'), second = line.find('\t', first + 1);
    if (first == std::string::npos || second == std::string::npos) return {};
    validators[line.substr(0, first)] = {line.substr(first + 1, second - first - 1),
                                         line.substr(second + 1)};
  }
  return validators;
}

std::string format_upstream_validators(const upstream_validators_t& validators) {
  std::string text;
  for (const auto& [url, kept] : validators)
    text += url + "\t" + kept.etag + "\t" + kept.last_modified + "\n";
  return text;
}

}  // namespace upd::publish
