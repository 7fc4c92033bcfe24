// The Ed25519 keys that sign "version.lst.sig" (formats/list_signature.h),
// kept as PEM files: PKCS#8 "PRIVATE KEY" for the publisher, SPKI
// "PUBLIC KEY" for anyone else. A build names the files it trusts
// (NIMBO_LIST_KEYS); it takes the public half of private ones too.
//
// For the publisher's tools only; OpenSSL does every computation. Failures
// throw std::runtime_error naming the file. Any thread.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "formats/list_signature.h"

namespace upd {

// Shared, so that the tools can hand keys around by value; never modified.
struct ed25519_key_file_t {
  std::shared_ptr<EVP_PKEY> key;
  bool has_private = false;
};

// Key files are small; anything larger is not one.
inline constexpr std::size_t max_key_file_size = 64 * 1024;

// The file's bytes; failures throw "PATH: REASON".
std::string read_key_text(const std::string& path);

// Whether the text is PEM rather than a DSA key file (keyfile/key_file.h),
// for the tools that take either kind.
bool is_pem_text(std::string_view text);

// Parses a private or public PEM key; any key but an unencrypted Ed25519 one
// is refused ("PATH: not an Ed25519 key"). `path` only names the file.
ed25519_key_file_t parse_ed25519_key(const std::string& path, std::string_view text);
ed25519_key_file_t read_ed25519_key_file(const std::string& path);

ed25519_key_file_t generate_ed25519_key();

// New files only, never overwritten: the private key with mode 0600, the
// public half with mode 0644.
void write_ed25519_private_file(const std::string& path, const ed25519_key_file_t& key);
void write_ed25519_public_file(const std::string& path, const ed25519_key_file_t& key);

ed25519_key_t ed25519_public_key(const ed25519_key_file_t& key);

// The 64-byte signature of the bytes. The key must hold its private part.
std::string ed25519_sign(const ed25519_key_file_t& key, std::string_view bytes);

}  // namespace upd
