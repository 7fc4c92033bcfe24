// Speed of the signed formats, against peers measured in the same run:
//  1. one signature verification of a short message, against OpenSSL's
//     DSA-512/160 verification with the same group and key (target: within
//     1.5 times OpenSSL's time);
//  2. parsing and verifying a signed "version.lst" of 100,000 entries (about
//     10 MB; target: under 200 ms), against hashing the same bytes alone, and
//     once more on a thread with a 64 KiB stack to show that stack use does
//     not grow with the input.
// Usage: signed_list_bench [KEYFILE]; by default the key the build trusts,
// which must hold x (keys/dev.key does).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "formats/lst_file.h"
#include "formats/sha0.h"
#include "formats/signature.h"
#include "keyfile/key_file.h"
#include "keyfile/signer.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Best of `rounds` timings of `runs` calls, in microseconds per call.
double best_us(int rounds, int runs, const std::function<void()>& call) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = clock_type::now();
    for (int i = 0; i < runs; ++i) call();
    best = std::min(best, std::chrono::duration<double, std::micro>(clock_type::now() - start).count() / runs);
  }
  return best;
}

// OpenSSL 3 verifying raw DSA over a 20-byte digest with (p, q, g, y) imported.
class openssl_dsa_t {
 public:
  explicit openssl_dsa_t(const upd::key_file_t& key) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_P, key.p.get());
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_Q, key.q.get());
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_G, key.g.get());
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_PUB_KEY, key.y.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* from = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    if (!from || EVP_PKEY_fromdata_init(from) <= 0 ||
        EVP_PKEY_fromdata(from, &pkey_, EVP_PKEY_PUBLIC_KEY, params) <= 0)
      throw std::runtime_error("OpenSSL does not import the DSA key");
    EVP_PKEY_CTX_free(from);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    ctx_ = EVP_PKEY_CTX_new(pkey_, nullptr);
    if (!ctx_ || EVP_PKEY_verify_init(ctx_) <= 0) throw std::runtime_error("EVP_PKEY_verify_init failed");
  }
  ~openssl_dsa_t() {
    EVP_PKEY_CTX_free(ctx_);
    EVP_PKEY_free(pkey_);
  }
  bool verify(const std::string& der, const unsigned char* digest) {
    return EVP_PKEY_verify(ctx_, reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest, 20) == 1;
  }

 private:
  EVP_PKEY* pkey_ = nullptr;
  EVP_PKEY_CTX* ctx_ = nullptr;
};

// DER of SEQUENCE { INTEGER r, INTEGER s } from the 40 little-endian bytes.
std::string der_signature(const std::string& raw) {
  auto integer = [](std::string little) {
    std::string big(little.rbegin(), little.rend());
    big.erase(0, std::min(big.find_first_not_of('\0'), big.size() - 1));
    if (static_cast<unsigned char>(big[0]) & 0x80) big.insert(0, 1, '\0');
    return std::string{0x02, static_cast<char>(big.size())} + big;
  };
  const std::string body = integer(raw.substr(0, 20)) + integer(raw.substr(20, 20));
  return std::string{0x30, static_cast<char>(body.size())} + body;
}

void bench_signature(const upd::key_file_t& key) {
  const std::string message = "url=http://127.0.0.1/\n";
  const std::string ours = upd::sign_text(key, message);
  // For OpenSSL the digest bytes are the big-endian form of the same integer z.
  upd::sha0_context c;
  upd::sha0_init(c);
  upd::sha0_update(message.data(), message.size(), c);
  upd::sha0_final(c);
  unsigned char digest[20];
  for (int i = 0; i < 20; ++i) digest[19 - i] = static_cast<unsigned char>(c.h[i / 4] >> (8 * (i % 4)));
  const std::string der = der_signature(upd::hex_to_bytes(ours));
  openssl_dsa_t openssl(key);
  if (!upd::verify_signature(message.data(), message.size(), ours) || !openssl.verify(der, digest))
    throw std::runtime_error("a verifier refuses the benchmark's signature");
  // Rounds alternate between the two, so that both meet the same load; the best round counts.
  bool sink = true;
  double ours_us = 1e300, openssl_us = 1e300;
  for (int round = 0; round < 40; ++round) {
    ours_us = std::min(ours_us, best_us(1, 200, [&] { sink &= upd::verify_signature(message.data(), message.size(), ours); }));
    openssl_us = std::min(openssl_us, best_us(1, 200, [&] { sink &= openssl.verify(der, digest); }));
  }
  std::printf("signature: ours %.1f us, OpenSSL DSA-512/160 %.1f us, ratio %.2f (target <= 1.50)%s\n", ours_us,
              openssl_us, ours_us / openssl_us, sink ? "" : " [refused]");
}

std::string make_list(const upd::key_file_t& key, int entries) {
  std::string body;
  char line[160];
  for (int i = 0; i < entries; ++i) {
    std::snprintf(line, sizeof line, "+file_%06d.dat, %016x%016x%016x%016x, %d\r\n", i, i * 7919u, i * 104729u,
                  i * 31u, i * 17u, i * 13 % 100000);
    body += line;
  }
  body += "-*.tmp,\r\n";
  const std::string signed_part = "[NimboUpdateList]\r\n[1]\r\n" + body + "[NimboUpdateListEnd]\r";
  return signed_part + "\n[Signature]\r\nSignature=" + upd::sign_text(key, signed_part) + "\r\n";
}

void run_with_small_stack(const std::function<void()>& call) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  auto body = [](void* f) -> void* {
    (*static_cast<const std::function<void()>*>(f))();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&call)) != 0)
    throw std::runtime_error("pthread_create failed");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

void bench_list(const upd::key_file_t& key) {
  const std::string list = make_list(key, 100000);
  // The parsed list is released outside the timing: its lifetime belongs to the zone.
  std::size_t files = 0;
  double parse_ms = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto start = clock_type::now();
    const upd::lst_file_t parsed = upd::lst_file_t::parse(list);
    parse_ms = std::min(parse_ms, std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    files = parsed.file_names().size();
  }
  const double hash_ms = best_us(5, 1, [&] {
                           upd::sha0_context c;
                           upd::sha0_init(c);
                           upd::sha0_update(list.data(), list.size(), c);
                           upd::sha0_final(c);
                         }) / 1000;
  std::size_t small_stack_files = 0;
  run_with_small_stack([&] { small_stack_files = upd::lst_file_t::parse(list).file_names().size(); });
  std::printf("version.lst: %zu entries, %.1f MB: parse and verify %.1f ms (target < 200), "
              "SHA-0 of the bytes alone %.1f ms, ratio %.2f; in a 64 KiB stack: %zu entries\n",
              files, list.size() / 1e6, parse_ms, hash_ms, parse_ms / hash_ms, small_stack_files);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const upd::key_file_t key = upd::read_key_file(argc > 1 ? argv[1] : NIMBO_PUBLIC_KEY);
    bench_signature(key);
    bench_list(key);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "signed_list_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
