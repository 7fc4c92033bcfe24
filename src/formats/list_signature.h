// The detached signature of an update list, "version.lst.sig", offered
// beside "version.lst". The list's own DSA signature stays for the servers
// and tools that know nothing else; this file adds Ed25519 and an expiry, so
// that a recovered legacy key cannot push files and a frozen mirror goes
// stale. Text, LF line ends, at most max_list_signature_size bytes:
//
//   nimbo-list-signature 1
//   sha256 <SHA-256 of the exact bytes of version.lst, 64 lowercase hex digits>
//   serial <the list's bracketed number>
//   expires <YYYY-MM-DDTHH:MM:SSZ>
//   zone <BASE, VERSION or NBS: the zone whose list this is>
//   ed25519 <key id: 16 lowercase hex digits> <base64 of the 64-byte signature>
//
// The first five lines are the statement; every ed25519 line (one per
// publisher key, several while a key is rotated) signs exactly its bytes.
// The zone line keeps one zone's list, served at another zone's URL, from
// passing there: the zones share the publisher's keys.
// A key id is the first 8 bytes, in hex, of the SHA-256 of the raw key.
#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace upd {

inline constexpr const char* list_signature_name = "version.lst.sig";
inline constexpr std::size_t max_list_signature_size = 64 * 1024;

using ed25519_key_t = std::array<unsigned char, 32>;

// The zones a statement may name.
inline constexpr std::array<std::string_view, 3> list_zones = {"BASE", "VERSION", "NBS"};
bool is_list_zone(std::string_view name);

// The reason a signature file is refused, for the log: "malformed",
// "unknown key: signed by IDS; trusted: IDS", "bad signature by IDS",
// "digest mismatch", "serial mismatch", "zone mismatch: signed for ZONE",
// "expired on DATE (this computer's time: NOW; ...)".
class list_signature_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct list_signature_t {
  struct key_signature_t {
    std::string key_id;
    std::string signature;  // 64 raw bytes
  };
  std::string statement;  // the signed bytes
  std::string sha256;
  std::string serial;
  std::time_t expires = 0;
  std::string zone;
  std::vector<key_signature_t> signatures;

  // Throws list_signature_error("malformed") for anything but the format above.
  static list_signature_t parse(std::string_view text);

  // Throws list_signature_error unless a line of a known key verifies and
  // the statement matches the list's bytes, serial and zone and lies before
  // its expiry at `now`.
  void check(std::span<const ed25519_key_t> keys, std::string_view list_bytes,
             const std::string& list_serial, std::string_view list_zone, std::time_t now) const;
};

// For publishers: the statement to sign, and one line per key.
std::string list_statement(std::string_view list_bytes, const std::string& serial,
                           std::time_t expires, std::string_view zone);
std::string list_signature_line(const ed25519_key_t& key, std::string_view signature);

std::string ed25519_key_id(const ed25519_key_t& key);
bool ed25519_verify(const ed25519_key_t& key, std::string_view message,
                    std::string_view signature);
std::string sha256_hex(std::string_view bytes);

// "YYYY-MM-DDTHH:MM:SSZ", UTC.
inline constexpr std::size_t utc_time_size = 20;
std::string format_utc_time(std::time_t time);
std::optional<std::time_t> parse_utc_time(std::string_view text);

}  // namespace upd
