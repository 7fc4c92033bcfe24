// A zone's DRL file: the signed list of its update servers, lines of
// "url=BASE" and one "sign=HEX" line that signs every byte before it.
//
// load() reads, parses and verifies a file; on any failure it logs
// "DRL: "path": reason" at Error and throws EC_BAD_DRL_FILE. "url=" lines
// after the signature are not covered by it, so they are left out of the
// list (with a Warning): whoever can append to the file must not be able to
// add a server. One object belongs to one caller (the update worker).
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace upd {

class drl_file_t {
 public:
  static constexpr std::string_view url_line_begin = "url=";
  static constexpr std::string_view sign_line_begin = "sign=";
  static constexpr std::size_t max_size = 0x100000;

  void load(const boost::filesystem::path& path);

  // The reader behind load(): parses and verifies bytes. Throws
  // std::runtime_error "invalid format" or "invalid signature"; `path`
  // only names the file in the warning about unsigned lines.
  void parse(std::string_view bytes, const boost::filesystem::path& path);

  // The servers, distinct and in ascending byte order.
  const std::set<std::string>& urls() const { return urls_; }

  // The servers in a new random order from the process's rand().
  std::vector<std::string> shuffled_urls() const;

 private:
  std::set<std::string> urls_;
};

}  // namespace upd
