#include "support/nginx_server.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace upd::testing {

namespace fs = boost::filesystem;

std::string nginx_server_t::unavailable_reason() {
  if (find_program("nginx").empty())
    return "nginx is not installed (scripts/setup installs nginx-light)";
  if (find_program("openssl").empty())
    return "the openssl tool is not installed (scripts/setup installs it)";
  return {};
}

nginx_server_t::nginx_server_t(const fs::path& root)
    : http_port_(free_port()), https_port_(free_port()) {
  while (https_port_ == http_port_) https_port_ = free_port();
  const fs::path dir = dir_.path();
  fs::create_directories(dir / "temp");
  if (!run_program(
          {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
           "-nodes", "-days", "2", "-subj", "/CN=localhost", "-keyout", (dir / "key.pem").string(),
           "-out", (dir / "cert.pem").string()},
          dir / "openssl.log"))
    throw std::runtime_error("openssl could not make a certificate: " +
                             read_file(dir / "openssl.log"));

  const std::string d = dir.string();
  const std::string root_text = fs::absolute(root).string();
  // One process, in the foreground, with every path in the temporary folder.
  write_file(
      dir / "nginx.conf",
      "daemon off;\nmaster_process off;\nworker_processes 1;\n"
      "pid " +
          d + "/nginx.pid;\nerror_log " + d +
          "/error.log;\n"
          "events { worker_connections 256; }\n"
          "http {\n  log_format auth '$request_uri proxy_authorization=$http_proxy_authorization';\n"
          "  access_log " + d + "/access.log auth;\n  sendfile on;\n  default_type application/octet-stream;\n"
          "  client_body_temp_path " +
          d + "/temp;\n  proxy_temp_path " + d +
          "/temp;\n"
          "  fastcgi_temp_path " +
          d + "/temp;\n  uwsgi_temp_path " + d +
          "/temp;\n"
          "  scgi_temp_path " +
          d +
          "/temp;\n"
          "  server { listen 127.0.0.1:" +
          std::to_string(http_port_) + "; root " + root_text +
          "; }\n"
          "  server { listen 127.0.0.1:" +
          std::to_string(https_port_) + " ssl; root " + root_text +
          ";\n"
          "    ssl_certificate " +
          d + "/cert.pem; ssl_certificate_key " + d +
          "/key.pem; }\n"
          "}\n");
  process_ = std::make_unique<child_process_t>(
      std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
      dir / "nginx.out");
  if (!wait_for_port(http_port_) || !wait_for_port(https_port_))
    throw std::runtime_error("nginx did not start: " + read_file(dir / "error.log") +
                             read_file(dir / "nginx.out"));
}

nginx_server_t::~nginx_server_t() { process_->stop(); }

std::string nginx_server_t::http_url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + "/" + path;
}

std::string nginx_server_t::https_url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + "/" + path;
}

}  // namespace upd::testing
