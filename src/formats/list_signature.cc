#include "formats/list_signature.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "formats/file_sha256.h"
#include "formats/signature.h"

namespace upd {
namespace {

constexpr std::string_view first_line = "nimbo-list-signature 1";
constexpr std::size_t signature_size = 64;
constexpr std::size_t signature_base64_size = 88;  // 64 bytes, padded with "=="

// Appends ", ID" (or the first ID) to a list of key ids.
void add_id(std::string& ids, const std::string& id) { ids += (ids.empty() ? "" : ", ") + id; }

[[noreturn]] void malformed() { throw list_signature_error("malformed"); }

// Cuts the next line off text; a line without its line feed is malformed.
std::string_view take_line(std::string_view& text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) malformed();
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return line;
}

std::string_view field(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || !line.starts_with(name) || line[name.size()] != ' ')
    malformed();
  return line.substr(name.size() + 1);
}

bool is_lower_hex(std::string_view text, std::size_t size) {
  return text.size() == size && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Decimal as lst_file_t::serial() gives it: no sign, no leading zeros.
bool is_serial(std::string_view text) {
  return !text.empty() && (text == "0" || text[0] != '0') &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string base64_encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                  reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<int>(bytes.size()));
  return text;
}

// Only the one canonical text of a 64-byte signature is accepted: OpenSSL's
// decoder alone would also take blanks and count the padding as bytes.
std::string signature_from_base64(std::string_view text) {
  if (text.size() != signature_base64_size) malformed();
  std::string bytes(signature_size + 2, '\0');
  if (EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size())) != static_cast<int>(bytes.size()))
    malformed();
  bytes.resize(signature_size);
  if (base64_encode(bytes) != text) malformed();
  return bytes;
}

list_signature_t::key_signature_t signature_line(std::string_view line) {
  const std::string_view value = field(line, "ed25519");
  const std::size_t space = value.find(' ');
  if (space == std::string_view::npos || !is_lower_hex(value.substr(0, space), 16)) malformed();
  return {std::string(value.substr(0, space)), signature_from_base64(value.substr(space + 1))};
}

struct pkey_deleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

list_signature_t list_signature_t::parse(std::string_view text) {
  if (text.size() > max_list_signature_size) throw list_signature_error("too large");
  list_signature_t file;
  std::string_view rest = text;
  if (take_line(rest) != first_line) malformed();
  const std::string_view sha256 = field(take_line(rest), "sha256");
  const std::string_view serial = field(take_line(rest), "serial");
  const std::optional<std::time_t> expires = parse_utc_time(field(take_line(rest), "expires"));
  const std::string_view zone = field(take_line(rest), "zone");
  if (!is_lower_hex(sha256, 64) || !is_serial(serial) || !expires || !is_list_zone(zone)) malformed();
  file.statement = text.substr(0, text.size() - rest.size());
  file.sha256 = sha256;
  file.serial = serial;
  file.expires = *expires;
  file.zone = zone;
  while (!rest.empty()) file.signatures.push_back(signature_line(take_line(rest)));
  if (file.signatures.empty()) malformed();
  return file;
}

void list_signature_t::check(std::span<const ed25519_key_t> keys, std::string_view list_bytes,
                             const std::string& list_serial, std::string_view list_zone,
                             std::time_t now) const {
  // The statement is trusted only once signed; what it says is checked after.
  std::string signers, known, trusted;
  bool verified = false;
  for (const auto& key : keys) add_id(trusted, ed25519_key_id(key));
  for (const auto& line : signatures) {
    add_id(signers, line.key_id);
    for (const auto& key : keys)
      if (ed25519_key_id(key) == line.key_id) {
        add_id(known, line.key_id);
        verified = verified || ed25519_verify(key, statement, line.signature);
      }
  }
  // The key ids tell a key rotation the build missed from a forged file.
  if (known.empty())
    throw list_signature_error("unknown key: signed by " + signers + "; trusted: " +
                               (trusted.empty() ? "none" : trusted));
  if (!verified) throw list_signature_error("bad signature by " + known);
  if (sha256 != sha256_hex(list_bytes)) throw list_signature_error("digest mismatch");
  if (serial != list_serial) throw list_signature_error("serial mismatch");
  if (zone != list_zone) throw list_signature_error("zone mismatch: signed for " + zone);
  // A clock that runs ahead makes a current mirror look frozen.
  if (expires <= now)
    throw list_signature_error("expired on " + format_utc_time(expires) + " (this computer's time: " +
                               format_utc_time(now) + "; check its clock synchronisation and the mirror)");
}

bool is_list_zone(std::string_view name) {
  return std::find(list_zones.begin(), list_zones.end(), name) != list_zones.end();
}

std::string list_statement(std::string_view list_bytes, const std::string& serial,
                           std::time_t expires, std::string_view zone) {
  return std::string(first_line) + "\nsha256 " + sha256_hex(list_bytes) + "\nserial " + serial +
         "\nexpires " + format_utc_time(expires) + "\nzone " + std::string(zone) + "\n";
}

std::string list_signature_line(const ed25519_key_t& key, std::string_view signature) {
  return "ed25519 " + ed25519_key_id(key) + " " + base64_encode(signature) + "\n";
}

std::string ed25519_key_id(const ed25519_key_t& key) {
  return sha256_hex({reinterpret_cast<const char*>(key.data()), key.size()}).substr(0, 16);
}

bool ed25519_verify(const ed25519_key_t& key, std::string_view message,
                    std::string_view signature) {
  const std::unique_ptr<EVP_PKEY, pkey_deleter> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  const std::unique_ptr<EVP_MD_CTX, pkey_deleter> context(EVP_MD_CTX_new());
  return pkey && context && signature.size() == signature_size &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

std::string sha256_hex(std::string_view bytes) {
  return bytes_to_hex(sha256_digest(bytes));
}

std::string format_utc_time(std::time_t time) {
  std::tm parts{};
  char text[32];
  if (!gmtime_r(&time, &parts) || !std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts))
    return "?";
  return text;
}

std::optional<std::time_t> parse_utc_time(std::string_view text) {
  constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) return std::nullopt;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != shape[i])
      return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t size) {
    int value = 0;
    for (std::size_t i = at; i < at + size; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm parts{};
  parts.tm_year = number(0, 4) - 1900;
  parts.tm_mon = number(5, 2) - 1;
  parts.tm_mday = number(8, 2);
  parts.tm_hour = number(11, 2);
  parts.tm_min = number(14, 2);
  parts.tm_sec = number(17, 2);
  const std::time_t time = timegm(&parts);
  // timegm carries a 31st of February into March; the text must say what it means.
  if (format_utc_time(time) != text) return std::nullopt;
  return time;
}

}  // namespace upd
