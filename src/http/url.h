// A URL split into protocol, host, port and path, as the update servers and
// the DRL files write them. Parsing never fails and validates nothing: the
// text is cut at the first "://", the first "/" after it and the first ":"
// of the host part. A value type; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace upd {

class url_t {
 public:
  url_t() = default;
  explicit url_t(const std::string& text);
  // base + "/" + relative (no second "/" when base ends with one); an empty
  // base gives an empty URL whatever the relative text.
  url_t(const std::string& base, const std::string& relative);

  // protocol "://" host [":" port] ["/" path], each part only when present.
  std::string to_string() const;

  const std::string& protocol() const { return protocol_; }
  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }       // 0: none given
  const std::string& path() const { return path_; }  // without the leading "/"

  friend bool operator==(const url_t& a, const url_t& b) { return a.to_string() == b.to_string(); }

 private:
  void parse(std::string text);

  std::string protocol_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::string path_;
};

}  // namespace upd
