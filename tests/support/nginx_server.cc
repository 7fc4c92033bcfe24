#include "support/nginx_server.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace upd::testing {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

std::string nginx_server_t::unavailable_reason() {
  if (find_program("nginx").empty()) return "nginx is not installed (scripts/setup installs nginx-light)";
  if (find_program("openssl").empty()) return "the openssl tool is not installed (scripts/setup installs it)";
  return {};
}

nginx_server_t::nginx_server_t(const fs::path& root, std::uint64_t rate_limit)
    : http_port_(free_port()), https_port_(free_port()) {
  while (https_port_ == http_port_) https_port_ = free_port();
  const std::string d = dir_.path().string();
  fs::create_directories(dir_ / "temp");
  // The default server's self-signed certificate, a CA, and the certificate
  // it issues to the other server, for 127.0.0.2 alone.
  const strings issued = {"-CA", d + "/ca-cert.pem", "-CAkey", d + "/ca-key.pem", "-addext", "subjectAltName=IP:127.0.0.2"};
  for (const auto& [name, subject, more] : {std::tuple<std::string, std::string, strings>{"", "127.0.0.1", {}},
                                            {"ca-", "nimbo test CA", {}}, {"localhost-", "nimbo test server", issued}}) {
    strings command = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "2", "-subj", "/CN=" + subject, "-keyout", d + "/" + name + "key.pem",
                       "-out", d + "/" + name + "cert.pem"};
    command.insert(command.end(), more.begin(), more.end());
    if (!run_program(command, dir_ / "openssl.log"))
      throw std::runtime_error("openssl could not make a certificate: " + read_file(dir_ / "openssl.log"));
  }
  // nginx lets each response send its first second's worth at once and
  // then pauses after every chunk for the chunk's time at the rate: chunks
  // of 2 ms keep small files to the rate too.
  const std::string limit = rate_limit ? "limit_rate " + std::to_string(rate_limit) + "; sendfile_max_chunk " +
                                             std::to_string(std::max<std::uint64_t>(rate_limit / 500, 1)) + ";"
                                       : "";
  // One process, in the foreground, with every path in the temporary folder.
  std::string config = R"(daemon off; master_process off; worker_processes 1; pid D/nginx.pid; error_log D/error.log;
events { worker_connections 256; }
http { log_format auth '$connection $status if_none_match=$http_if_none_match $request_uri proxy_authorization=$http_proxy_authorization sni=$ssl_server_name server=$server_name';
  access_log D/access.log auth; sendfile on; default_type application/octet-stream; LIMIT
  limit_conn_zone $binary_remote_addr zone=perclient:1m;
  client_body_temp_path D/temp; proxy_temp_path D/temp; fastcgi_temp_path D/temp;
  uwsgi_temp_path D/temp; scgi_temp_path D/temp;
  server { listen 127.0.0.1:HTTP; root ROOT; location ~ -500/version.lst.sig$ { return 500; }
    location ~ -429/ { add_header Retry-After 120 always; return 429; }
    location ~ -busy/.*vdb { add_header Retry-After 120 always; return 503; }
    location ~ -ssi/ { ssi on; ssi_types *; }
    location ~ -one-at-a-time/ { limit_conn perclient 1; limit_rate 2m; sendfile off; } }
  server { listen 127.0.0.1:HTTPS ssl; root ROOT; ssl_certificate D/cert.pem; ssl_certificate_key D/key.pem; }
  server { listen 127.0.0.1:HTTPS ssl; listen 127.0.0.2:HTTPS ssl; server_name localhost; root ROOT; ssl_certificate D/localhost-cert.pem;
    ssl_certificate_key D/localhost-key.pem; }
}
)";
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"D/", d + "/"},
                                    {"ROOT", fs::absolute(root).string()},
                                    {"HTTPS", std::to_string(https_port_)},
                                    {"HTTP", std::to_string(http_port_)},
                                    {"LIMIT", limit}})
    config = std::regex_replace(config, std::regex("\\b" + name), value);
  write_file(dir_ / "nginx.conf", config);
  process_ = std::make_unique<child_process_t>(
      std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, dir_ / "nginx.out");
  if (!wait_for_port(http_port_) || !wait_for_port(https_port_))
    throw std::runtime_error("nginx did not start: " + read_file(dir_ / "error.log") + read_file(dir_ / "nginx.out"));
}

nginx_server_t::~nginx_server_t() { process_->stop(); }

std::string nginx_server_t::http_url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + "/" + path;
}

std::string nginx_server_t::https_url(const std::string& path, const std::string& host) const {
  return "https://" + host + ":" + std::to_string(https_port_) + "/" + path;
}

}  // namespace upd::testing

namespace upd::testing {

std::string nginx_server_t::access_log() const {
  std::string log = read_file(dir_.path() / "access.log");
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string again = read_file(dir_.path() / "access.log");
    if (again.size() == log.size()) return again;
    log = std::move(again);
  }
}

std::size_t nginx_server_t::connections_since(std::size_t from, const std::string& needle) const {
  std::set<std::string> numbers;
  std::istringstream lines(access_log().substr(from));
  for (std::string line; std::getline(lines, line);)
    if (line.find(needle) != std::string::npos) numbers.insert(line.substr(0, line.find(' ')));
  return numbers.size();
}

}  // namespace upd::testing
