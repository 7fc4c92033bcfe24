// Whether and against what an HTTPS server's certificate is checked. Off,
// TLS only hides the traffic from passive listeners (update data is signed
// anyway); on, the chain must lead to a trusted anchor and the certificate
// must name the host of the URL. Pure functions on the caller's objects.
#pragma once

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>
#include <string>

namespace upd {

struct tls_check_t {
  bool verify = false;
  std::string ca_file;  // PEM trust anchors; empty: the system's trust store
};

// Sets the context up for the check: without verification it accepts any
// certificate; with it, it loads the anchors. Returns why they could not be loaded.
boost::system::error_code configure_tls_check(boost::asio::ssl::context& context, const tls_check_t& check);

// Makes the handshake on ssl require a certificate for host: its address
// when host is an address literal, else its DNS name. False when OpenSSL
// refuses the name.
bool expect_tls_host(SSL* ssl, const std::string& host);

// Why the certificate of the handshake on ssl failed the check, as OpenSSL
// words it ("unable to get local issuer certificate", "hostname mismatch");
// "" when it passed.
std::string tls_verify_failure(const SSL* ssl);

}  // namespace upd
