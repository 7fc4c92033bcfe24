#include "keyfile/key_file.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "keyfile/new_file.h"

namespace upd {
namespace {

struct ctx_free_t {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using ctx_ptr = std::unique_ptr<BN_CTX, ctx_free_t>;

bn_ptr fresh() {
  bn_ptr n(BN_new());
  if (!n) throw std::bad_alloc();
  return n;
}

void check(int ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL failed in ") + what);
}

bn_ptr parse_hex(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    throw std::runtime_error("not a hexadecimal number");
  BIGNUM* n = nullptr;
  check(BN_hex2bn(&n, text.c_str()) != 0, "BN_hex2bn");
  return bn_ptr(n);
}

// Why the values do not form a usable key, or empty when they do.
std::string fault_of(const key_file_t& k) {
  ctx_ptr ctx(BN_CTX_new());
  if (BN_num_bits(k.p.get()) != 512) return "p is not a 512-bit number";
  if (BN_num_bits(k.q.get()) != 160) return "q is not a 160-bit number";
  if (BN_check_prime(k.p.get(), ctx.get(), nullptr) != 1) return "p is not prime";
  if (BN_check_prime(k.q.get(), ctx.get(), nullptr) != 1) return "q is not prime";
  bn_ptr rest = fresh(), p1 = fresh(), t = fresh();
  check(BN_sub(p1.get(), k.p.get(), BN_value_one()), "BN_sub");
  check(BN_mod(rest.get(), p1.get(), k.q.get(), ctx.get()), "BN_mod");
  if (!BN_is_zero(rest.get())) return "q does not divide p - 1";
  if (BN_cmp(k.g.get(), BN_value_one()) <= 0 || BN_cmp(k.g.get(), k.p.get()) >= 0) return "g is out of range";
  check(BN_mod_exp(t.get(), k.g.get(), k.q.get(), k.p.get(), ctx.get()), "BN_mod_exp");
  if (!BN_is_one(t.get())) return "g is not of order q";
  if (BN_cmp(k.y.get(), BN_value_one()) <= 0 || BN_cmp(k.y.get(), k.p.get()) >= 0) return "y is out of range";
  check(BN_mod_exp(t.get(), k.y.get(), k.q.get(), k.p.get(), ctx.get()), "BN_mod_exp");
  if (!BN_is_one(t.get())) return "y is not of order q";
  if (k.x) {
    if (BN_is_zero(k.x.get()) || BN_cmp(k.x.get(), k.q.get()) >= 0) return "x is out of range";
    check(BN_mod_exp(t.get(), k.g.get(), k.x.get(), k.p.get(), ctx.get()), "BN_mod_exp");
    if (BN_cmp(t.get(), k.y.get()) != 0) return "y is not g^x mod p";
  }
  return {};
}

bn_ptr random_below(const BIGNUM* limit) {
  bn_ptr n = fresh();
  do check(BN_rand_range(n.get(), limit), "BN_rand_range");
  while (BN_is_zero(n.get()));
  return n;
}

std::string hex_of(const BIGNUM* n) {
  char* text = BN_bn2hex(n);
  if (!text) throw std::bad_alloc();
  std::string result(text);
  OPENSSL_free(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace

key_file_t read_key_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot open the key file");
  key_file_t key;
  bn_ptr* slots[] = {&key.p, &key.q, &key.g, &key.y, &key.x};
  const char* names = "pqgyx";
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const char* at = line.size() >= 2 && line[1] == '=' ? std::strchr(names, line[0]) : nullptr;
    if (!at || line[0] == 0)
      throw std::runtime_error(path + ": line " + std::to_string(number) + ": expected p=, q=, g=, y= or x=");
    try {
      *slots[at - names] = parse_hex(line.substr(2));
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(path + ": line " + std::to_string(number) + ": " + e.what());
    }
  }
  for (int i = 0; i < 4; ++i)
    if (!*slots[i]) throw std::runtime_error(path + ": no " + names[i] + "= line");
  if (std::string fault = fault_of(key); !fault.empty()) throw std::runtime_error(path + ": " + fault);
  return key;
}

std::string public_key_text(const key_file_t& key) {
  return "p=" + hex_of(key.p.get()) + "\nq=" + hex_of(key.q.get()) + "\ng=" + hex_of(key.g.get()) + "\ny=" +
         hex_of(key.y.get()) + "\n";
}

std::string dsa_key_id(const key_file_t& key) {
  const std::string text = public_key_text(key);
  unsigned char digest[EVP_MAX_MD_SIZE];
  check(EVP_Digest(text.data(), text.size(), digest, nullptr, EVP_sha256(), nullptr), "EVP_Digest");
  std::string id;
  for (int i = 0; i < 8; ++i) id += "0123456789abcdef"[digest[i] >> 4], id += "0123456789abcdef"[digest[i] & 15];
  return id;
}

void write_key_file(const std::string& path, const key_file_t& key) {
  write_new_file(path, public_key_text(key) + (key.x ? "x=" + hex_of(key.x.get()) + "\n" : ""),
                 key.x ? 0600 : 0644);
}

key_file_t generate_key() {
  ctx_ptr ctx(BN_CTX_new());
  key_file_t key{fresh(), fresh(), fresh(), fresh(), fresh()};
  check(BN_generate_prime_ex(key.q.get(), 160, 0, nullptr, nullptr, nullptr), "BN_generate_prime_ex");
  // p = k·q + 1 with k chosen so that p has exactly 512 bits.
  bn_ptr k = fresh();
  do {
    check(BN_rand(k.get(), 512 - 160, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD), "BN_rand");
    check(BN_add_word(k.get(), 1), "BN_add_word");  // k even, so p is odd
    check(BN_mul(key.p.get(), k.get(), key.q.get(), ctx.get()), "BN_mul");
    check(BN_add_word(key.p.get(), 1), "BN_add_word");
  } while (BN_num_bits(key.p.get()) != 512 || BN_check_prime(key.p.get(), ctx.get(), nullptr) != 1);
  bn_ptr h = fresh();
  do {
    h = random_below(key.p.get());
    check(BN_mod_exp(key.g.get(), h.get(), k.get(), key.p.get(), ctx.get()), "BN_mod_exp");
  } while (BN_cmp(key.g.get(), BN_value_one()) <= 0);
  key.x = random_below(key.q.get());
  check(BN_mod_exp(key.y.get(), key.g.get(), key.x.get(), key.p.get(), ctx.get()), "BN_mod_exp");
  return key;
}

std::array<std::uint8_t, 40> dsa_sign(const key_file_t& key, const std::array<std::uint8_t, 20>& z) {
  if (!key.x) throw std::runtime_error("the key file holds no private part (x=)");
  ctx_ptr ctx(BN_CTX_new());
  bn_ptr zn(BN_lebin2bn(z.data(), static_cast<int>(z.size()), nullptr));
  bn_ptr r = fresh(), s = fresh(), t = fresh();
  while (true) {
    bn_ptr k = random_below(key.q.get());
    check(BN_mod_exp(t.get(), key.g.get(), k.get(), key.p.get(), ctx.get()), "BN_mod_exp");
    check(BN_nnmod(r.get(), t.get(), key.q.get(), ctx.get()), "BN_nnmod");
    // s = k^-1 (z + x r) mod q
    check(BN_mod_mul(t.get(), key.x.get(), r.get(), key.q.get(), ctx.get()), "BN_mod_mul");
    check(BN_mod_add(t.get(), t.get(), zn.get(), key.q.get(), ctx.get()), "BN_mod_add");
    check(BN_mod_inverse(k.get(), k.get(), key.q.get(), ctx.get()) != nullptr, "BN_mod_inverse");
    check(BN_mod_mul(s.get(), k.get(), t.get(), key.q.get(), ctx.get()), "BN_mod_mul");
    if (!BN_is_zero(r.get()) && !BN_is_zero(s.get())) break;
  }
  std::array<std::uint8_t, 40> signature{};
  check(BN_bn2lebinpad(r.get(), signature.data(), 20) == 20, "BN_bn2lebinpad");
  check(BN_bn2lebinpad(s.get(), signature.data() + 20, 20) == 20, "BN_bn2lebinpad");
  return signature;
}

bool dsa_check(const key_file_t& key, const std::array<std::uint8_t, 20>& z,
               const std::array<std::uint8_t, 40>& signature) {
  ctx_ptr ctx(BN_CTX_new());
  const bn_ptr r(BN_lebin2bn(signature.data(), 20, nullptr)), s(BN_lebin2bn(signature.data() + 20, 20, nullptr)),
      zn(BN_lebin2bn(z.data(), static_cast<int>(z.size()), nullptr));
  if (!ctx || !r || !s || !zn) throw std::bad_alloc();
  if (BN_is_zero(r.get()) || BN_is_zero(s.get()) || BN_cmp(r.get(), key.q.get()) >= 0 ||
      BN_cmp(s.get(), key.q.get()) >= 0)
    return false;
  // v = (g^(z/s) y^(r/s) mod p) mod q must equal r.
  bn_ptr w = fresh(), u1 = fresh(), u2 = fresh(), v = fresh(), t = fresh();
  check(BN_mod_inverse(w.get(), s.get(), key.q.get(), ctx.get()) != nullptr, "BN_mod_inverse");
  check(BN_mod_mul(u1.get(), zn.get(), w.get(), key.q.get(), ctx.get()), "BN_mod_mul");
  check(BN_mod_mul(u2.get(), r.get(), w.get(), key.q.get(), ctx.get()), "BN_mod_mul");
  check(BN_mod_exp(v.get(), key.g.get(), u1.get(), key.p.get(), ctx.get()), "BN_mod_exp");
  check(BN_mod_exp(t.get(), key.y.get(), u2.get(), key.p.get(), ctx.get()), "BN_mod_exp");
  check(BN_mod_mul(v.get(), v.get(), t.get(), key.p.get(), ctx.get()), "BN_mod_mul");
  check(BN_nnmod(v.get(), v.get(), key.q.get(), ctx.get()), "BN_nnmod");
  return BN_cmp(v.get(), r.get()) == 0;
}

std::string little_endian(const BIGNUM* n, int size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  check(BN_bn2lebinpad(n, reinterpret_cast<unsigned char*>(bytes.data()), size) == size, "BN_bn2lebinpad");
  return bytes;
}

}  // namespace upd
