#include "http/proxy_auth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "http/url.h"

namespace upd {

namespace {

// A parsed challenge: the scheme tokens and the name=value parameters.
struct auth_params_t {
  std::set<std::string> schemes;
  std::map<std::string, std::string> params;

  std::string param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
  }
};

void store_param(auth_params_t& auth, const std::string& raw_name, const std::string& raw_value) {
  const std::string name = trim_http_blanks(raw_name);
  std::string value = trim_http_blanks(raw_value);
  if (!value.empty() && value.back() == '"') value.pop_back();
  if (!value.empty() && value.front() == '"') value.erase(0, 1);
  if (name.empty() && value.empty()) return;
  auth.params[name] = value;
}

// The end of the value starting at pos: the next comma outside double
// quotes. A quoted list such as qop="auth,auth-int" is one value; cutting it
// at its comma would swallow the parameters after it (the nonce above all).
std::size_t value_end(const std::string& text, std::size_t pos) {
  bool quoted = false;
  for (; pos < text.size(); ++pos) {
    if (text[pos] == '"') quoted = !quoted;
    if (text[pos] == ',' && !quoted) return pos;
  }
  return text.size();
}

// The quality of protection to answer with: "auth" when the proxy offers it
// (alone or in a list), none when it offers none; "" when it offers only
// what is not supported.
std::string chosen_qop(const std::string& offered) {
  if (offered.empty()) return {};
  std::size_t pos = 0;
  while (pos <= offered.size()) {
    const auto comma = std::min(offered.find(',', pos), offered.size());
    if (trim_http_blanks(offered.substr(pos, comma - pos)) == "auth") return "auth";
    pos = comma + 1;
  }
  return {};
}

auth_params_t parse_challenge(const std::string& text) {
  auth_params_t auth;
  std::size_t pos = 0;
  std::string token;
  bool in_schemes = true;
  while (in_schemes) {
    if (pos == text.size()) {
      store_param(auth, token, {});
      return auth;
    }
    const char c = text[pos++];
    if (c == ' ') {
      auth.schemes.insert(token);
      token.clear();
    } else if (c == '=') {
      in_schemes = false;
    } else {
      token += c;
    }
  }
  std::string name = token;
  for (;;) {
    const auto comma = value_end(text, pos);
    store_param(auth, name, text.substr(pos, comma - pos));
    if (comma == text.size()) return auth;
    pos = comma + 1;
    const auto equals = std::min(text.find('=', pos), text.size());
    name = text.substr(pos, equals - pos);
    pos = equals == text.size() ? equals : equals + 1;
  }
}

std::string digest_authorization(const http_request_t& request, const std::string& user,
                                 const std::string& password, const auth_params_t& auth) {
  const std::string offered_qop = auth.param("qop");
  const std::string qop = chosen_qop(offered_qop);
  if (!offered_qop.empty() && qop.empty()) return {};  // e.g. integrity protection only
  const url_t target(request.uri);
  const std::string uri = target.protocol().empty() ? target.to_string() : "/" + target.path();
  const std::string realm = auth.param("realm");
  const std::string ha1 = md5_hex(user + ":" + realm + ":" + password);
  const std::string ha2 = md5_hex(request.method + ":" + uri);
  const std::string cnonce = make_cnonce();
  const std::string nonce = auth.param("nonce");
  const std::string response =
      qop.empty() ? md5_hex(ha1 + ":" + nonce + ":" + ha2)
                  : md5_hex(ha1 + ":" + nonce + ":00000001:" + cnonce + ":" + qop + ":" + ha2);
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
         "\", uri=\"" + uri + "\", cnonce=\"" + cnonce + "\", nc=00000001, qop=\"" + qop +
         "\", response=\"" + response + "\"";
}

}  // namespace

std::string make_proxy_authorization(const http_request_t& last_request,
                                     const http_response_t& head, const std::string& user,
                                     const std::string& password) {
  const auth_params_t auth = parse_challenge(head.headers.get("Proxy-Authenticate"));
  if (auth.schemes.count("Digest")) return digest_authorization(last_request, user, password, auth);
  if (auth.schemes.count("Basic")) return basic_authorization(user, password);
  return {};
}

std::string basic_authorization(const std::string& user, const std::string& password) {
  return "Basic " + base64_encode(user + ":" + password);
}

std::string md5_hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr))
    throw std::runtime_error("MD5 is not available");
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

std::string base64_encode(const std::string& text) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(text[i]) << 16 |
                       static_cast<unsigned char>(text[i + 1]) << 8 |
                       static_cast<unsigned char>(text[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
  }
  const std::size_t rest = text.size() - i;
  if (rest == 0) return out;
  unsigned v = static_cast<unsigned char>(text[i]) << 16;
  if (rest == 2) v |= static_cast<unsigned char>(text[i + 1]) << 8;
  out += alphabet[(v >> 18) & 63];
  out += alphabet[(v >> 12) & 63];
  out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
  out += '=';
  return out;
}

std::string make_cnonce() { return base64_encode(std::to_string(std::time(nullptr))); }

}  // namespace upd
