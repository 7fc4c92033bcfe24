#include "http/url.h"

#include <cstdlib>

namespace upd {

namespace {

std::string strip_url_protocol(std::string& text) {
  const auto pos = text.find("://");
  if (pos == std::string::npos) return {};
  std::string protocol = text.substr(0, pos);
  text.erase(0, pos + 3);
  return protocol;
}

std::string strip_url_host(std::string& text) {
  const auto pos = text.find('/');
  std::string host = text.substr(0, pos);
  text.erase(0, pos == std::string::npos ? pos : pos + 1);
  return host;
}

// Leaves the host in host_part and returns the port text ("" when none).
std::string strip_url_host_port(std::string& host_part) {
  const auto pos = host_part.find(':');
  if (pos == std::string::npos) return {};
  std::string port = host_part.substr(pos + 1);
  host_part.erase(pos);
  return port;
}

}  // namespace

url_t::url_t(const std::string& text) { parse(text); }

url_t::url_t(const std::string& base, const std::string& relative) {
  if (base.empty()) return;
  std::string text = base;
  if (text.back() != '/') text += '/';
  parse(text + relative);
}

void url_t::parse(std::string text) {
  protocol_ = strip_url_protocol(text);
  host_ = strip_url_host(text);
  path_ = std::move(text);
  const std::string port = strip_url_host_port(host_);
  // strtol's reading (leading digits, 0 without any), kept to 16 bits.
  if (!port.empty()) port_ = static_cast<std::uint16_t>(std::strtol(port.c_str(), nullptr, 10));
}

std::string url_t::to_string() const {
  std::string text;
  if (!protocol_.empty()) text = protocol_ + "://";
  text += host_;
  if (port_ != 0) text += ":" + std::to_string(port_);
  if (!path_.empty()) text += "/" + path_;
  return text;
}

}  // namespace upd
