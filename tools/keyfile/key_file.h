// The signing key of an update publisher, as kept in a key file: five lines
// "p=", "q=", "g=", "y=", "x=", each value in big-endian hexadecimal. p is a
// 512-bit prime, q a 160-bit prime dividing p - 1, g an element of order q
// and y = g^x mod p. A file handed out to build the program may lack "x=".
//
// For the publisher's tools and the build only (OpenSSL's BIGNUM does the
// arithmetic here); the program's own verifier lives in src/formats. Values
// are owned by the key_file_t; functions may run on any thread.
#pragma once

#include <openssl/bn.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace upd {

struct bn_free_t {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_free_t>;

struct key_file_t {
  bn_ptr p, q, g, y;
  bn_ptr x;  // null when the file holds only the public part
};

// Reads and checks a key file: the group, y and (when present) x must fit
// together. Throws std::runtime_error naming the file and the fault.
key_file_t read_key_file(const std::string& path);

// The four public lines, values in lower-case hexadecimal: the same text
// whatever the case, order or line ends of the file the key was read from.
std::string public_key_text(const key_file_t& key);

// Writes the public lines and x (when present) into a new file, of mode 0600
// when it holds x and 0644 otherwise; an existing file is never overwritten.
void write_key_file(const std::string& path, const key_file_t& key);

// The key's id, made like an Ed25519 key id (16 hex digits) over the
// public text above: the same for the private file and its public copy,
// whatever their letter case and line ends.
std::string dsa_key_id(const key_file_t& key);

// A new 512/160-bit group and key pair from OpenSSL's random generator.
key_file_t generate_key();

// Signs z (the little-endian integer of the SHA-0 digest's words) and returns
// r and s as 20 little-endian bytes each. The key must hold x.
std::array<std::uint8_t, 40> dsa_sign(const key_file_t& key, const std::array<std::uint8_t, 20>& z);

// Whether the signature (r then s, as dsa_sign gives them) signs z with the
// key's y. Needs no x: a mirror checks lists with the publisher's public half.
bool dsa_check(const key_file_t& key, const std::array<std::uint8_t, 20>& z,
               const std::array<std::uint8_t, 40>& signature);

// The number as `size` little-endian bytes (it must fit).
std::string little_endian(const BIGNUM* n, int size);

}  // namespace upd
