#include "http/tls_check.h"

#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cerrno>

namespace upd {

boost::system::error_code configure_tls_check(boost::asio::ssl::context& context, const tls_check_t& check) {
  namespace ssl = boost::asio::ssl;
  boost::system::error_code error;
  context.set_verify_mode(check.verify ? ssl::verify_peer : ssl::verify_none);
  if (!check.verify) return error;
  if (check.ca_file.empty()) {
    context.set_default_verify_paths(error);
    return error;
  }
  // OpenSSL reports a file it cannot open only as a failure of its "system library".
  if (::access(check.ca_file.c_str(), R_OK) != 0) return {errno, boost::system::system_category()};
  context.load_verify_file(check.ca_file, error);
  return error;
}

bool expect_tls_host(SSL* ssl, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  boost::system::error_code not_an_address;
  boost::asio::ip::make_address(host, not_an_address);
  if (!not_an_address) return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  // "*.example" may stand for one label, never for part of one.
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
}

std::string tls_verify_failure(const SSL* ssl) {
  const long result = SSL_get_verify_result(ssl);
  return result == X509_V_OK ? "" : X509_verify_cert_error_string(result);
}

}  // namespace upd
