#include "keyfile/ed25519_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <stdexcept>

#include "formats/whole_file.h"
#include "keyfile/new_file.h"

namespace upd {
namespace {

struct openssl_free_t {
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::unique_ptr<BIO, openssl_free_t> memory_bio(std::string_view text) {
  std::unique_ptr<BIO, openssl_free_t> bio(
      BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) throw std::bad_alloc();
  return bio;
}

// Without a callback OpenSSL would ask the terminal for the pass phrase of an
// encrypted key; publishing runs unattended, so such a key is refused.
int no_pass_phrase(char*, int, int, void*) { return -1; }

std::string pem_text(const std::string& path, const ed25519_key_file_t& key, bool with_private) {
  const std::unique_ptr<BIO, openssl_free_t> bio(BIO_new(BIO_s_mem()));
  const bool ok = bio && (with_private ? PEM_write_bio_PrivateKey(bio.get(), key.key.get(), nullptr,
                                                                  nullptr, 0, nullptr, nullptr)
                                       : PEM_write_bio_PUBKEY(bio.get(), key.key.get())) == 1;
  char* data = nullptr;
  const long size = ok ? BIO_get_mem_data(bio.get(), &data) : 0;
  if (size <= 0) throw std::runtime_error(path + ": cannot encode the key as PEM");
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string read_key_text(const std::string& path) {
  try {
    return read_whole_file(path, max_key_file_size);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

bool is_pem_text(std::string_view text) {
  return text.find("-----BEGIN ") != std::string_view::npos;
}

ed25519_key_file_t parse_ed25519_key(const std::string& path, std::string_view text) {
  ed25519_key_file_t file;
  file.key.reset(PEM_read_bio_PrivateKey(memory_bio(text).get(), nullptr, no_pass_phrase, nullptr),
                 EVP_PKEY_free);
  file.has_private = file.key != nullptr;
  if (!file.key)
    file.key.reset(PEM_read_bio_PUBKEY(memory_bio(text).get(), nullptr, no_pass_phrase, nullptr),
                   EVP_PKEY_free);
  // The failed attempts leave their reasons queued; they would show up in
  // the next, unrelated OpenSSL error.
  ERR_clear_error();
  if (!file.key || !EVP_PKEY_is_a(file.key.get(), "ED25519"))
    throw std::runtime_error(path + ": not an Ed25519 key");
  return file;
}

ed25519_key_file_t read_ed25519_key_file(const std::string& path) {
  return parse_ed25519_key(path, read_key_text(path));
}

ed25519_key_file_t generate_ed25519_key() {
  ed25519_key_file_t file{
      std::shared_ptr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free),
      true};
  if (!file.key) throw std::runtime_error("OpenSSL cannot make an Ed25519 key");
  return file;
}

void write_ed25519_private_file(const std::string& path, const ed25519_key_file_t& key) {
  if (!key.has_private) throw std::runtime_error(path + ": the key has no private part to write");
  write_new_file(path, pem_text(path, key, true), 0600);
}

void write_ed25519_public_file(const std::string& path, const ed25519_key_file_t& key) {
  write_new_file(path, pem_text(path, key, false), 0644);
}

ed25519_key_t ed25519_public_key(const ed25519_key_file_t& key) {
  ed25519_key_t raw;
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.key.get(), raw.data(), &size) != 1 || size != raw.size())
    throw std::runtime_error("OpenSSL cannot give the raw Ed25519 public key");
  return raw;
}

std::string ed25519_sign(const ed25519_key_file_t& key, std::string_view bytes) {
  if (!key.has_private) throw std::runtime_error("an Ed25519 public key cannot sign");
  const std::unique_ptr<EVP_MD_CTX, openssl_free_t> context(EVP_MD_CTX_new());
  std::string signature(64, '\0');
  std::size_t size = signature.size();
  // Ed25519 hashes the message itself: no digest is named.
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
      size != signature.size())
    throw std::runtime_error("OpenSSL cannot sign with the Ed25519 key");
  return signature;
}

}  // namespace upd
