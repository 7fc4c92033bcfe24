#include "formats/cache_file.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cache.pb.h"

namespace upd {
namespace {

const std::string digest_a(32, 'a');
const std::string digest_b(32, '\xb0');

cache_records_t sample_records() {
  return {{"/var/nimbo/bases/daily.vdb", {2049, 131, 1700000000, digest_a}},
          {"/var/nimbo/bases/main.vdb", {2049, 132, -5, digest_b}},
          {"/opt/nimbo/\"odd\" & name", {0xffffffffffffffff, 1, 0, digest_a}}};
}

// "" when the bytes decode, else the error's text.
std::string decode_error(const std::string& bytes) {
  try {
    decode_cache(bytes);
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

upd::FileCrc* add_crc(upd::Cache& cache, const std::string& path, std::uint64_t ctime) {
  upd::FileCrc* crc = cache.add_crcs();
  crc->set_path(path);
  crc->set_dev(1);
  crc->set_ino(2);
  crc->set_ctime(ctime);
  crc->set_sha256(digest_a);
  return crc;
}

TEST(CacheFile, RecordsRoundTripAsOneCacheMessage) {
  EXPECT_EQ(decode_cache(encode_cache(sample_records())), sample_records());
  EXPECT_EQ(decode_cache(encode_cache({})), cache_records_t{});
  upd::Cache cache;
  ASSERT_TRUE(cache.ParseFromString(encode_cache(sample_records())));
  ASSERT_EQ(cache.crcs_size(), 3);
  // Path order, the native strings.
  EXPECT_EQ(cache.crcs(0).path(), "/opt/nimbo/\"odd\" & name");
  EXPECT_EQ(cache.crcs(1).path(), "/var/nimbo/bases/daily.vdb");
  EXPECT_EQ(cache.crcs(2).path(), "/var/nimbo/bases/main.vdb");
  EXPECT_EQ(cache.crcs(1).dev(), 2049u);
  EXPECT_EQ(cache.crcs(1).ino(), 131u);
  EXPECT_EQ(cache.crcs(1).ctime(), 1700000000u);
  // A negative time is written sign-extended to 64 bits.
  EXPECT_EQ(cache.crcs(2).ctime(), 0xfffffffffffffffbu);
  EXPECT_EQ(cache.crcs(2).sha256(), digest_b);
  EXPECT_EQ(cache.digest().size(), 32u);
}

TEST(CacheFile, TimeIsReadAsItsLow32BitsAndTheLaterRecordOfAPathWins) {
  upd::Cache cache;
  add_crc(cache, "/a", 0x100000005);
  add_crc(cache, "/b", 0xfffffffffffffffb);
  add_crc(cache, "/c", 0x80000000);
  add_crc(cache, "/c", 7)->set_sha256(digest_b);
  EXPECT_EQ(decode_cache(seal_cache(cache.SerializeAsString())),
            (cache_records_t{{"/a", {1, 2, 5, digest_a}},
                             {"/b", {1, 2, -5, digest_a}},
                             {"/c", {1, 2, 7, digest_b}}}));
  cache.mutable_crcs()->RemoveLast();
  EXPECT_EQ(decode_cache(seal_cache(cache.SerializeAsString())).at("/c").ctime, INT32_MIN);
}

TEST(CacheFile, EveryCutChangedBitOrAddedByteIsRefused) {
  const std::string bytes = encode_cache(sample_records());
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    EXPECT_EQ(decode_error(bytes.substr(0, at)), "invalid format") << at;
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      EXPECT_EQ(decode_error(flipped), "invalid format") << at << " " << bit;
    }
  }
  EXPECT_EQ(decode_error(bytes + '\0'), "invalid format");
  EXPECT_EQ(decode_error(bytes + bytes), "invalid format");
}

TEST(CacheFile, MissingRequiredFieldFailsTheWholeFile) {
  upd::Cache cache;
  add_crc(cache, "/a", 1);
  add_crc(cache, "/b", 1)->clear_sha256();
  EXPECT_EQ(decode_error(seal_cache(cache.SerializePartialAsString())), "invalid format");
  // Without its digest an otherwise intact message is refused too.
  cache.mutable_crcs()->RemoveLast();
  EXPECT_EQ(decode_error(cache.SerializeAsString()), "invalid format");
}

}  // namespace
}  // namespace upd
