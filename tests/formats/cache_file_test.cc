#include "formats/cache_file.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cache.pb.h"

namespace upd {
namespace {

const std::string digest_a(32, 'a'), digest_b(32, '\xb0');

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

TEST(CacheFile, RecordsRoundTripAndEveryCutChangedBitOrAddedByteIsRefused) {
  const cache_records_t records = {{"/var/nimbo/bases/daily.vdb", {2049, 131, 1700000000, digest_a}},
                                   {"/opt/nimbo/\"odd\" & name", {0xffffffffffffffff, 1, -5, digest_b}}};
  const std::string bytes = encode_cache(records);
  EXPECT_EQ(decode_cache(bytes), records);
  EXPECT_EQ(decode_cache(encode_cache({})), cache_records_t{});
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    EXPECT_EQ(decode_error(bytes.substr(0, at)), "invalid format") << at;
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      EXPECT_EQ(decode_error(flipped), "invalid format") << at << " " << bit;
    }
  }
  EXPECT_EQ(decode_error(bytes + '\0'), "invalid format");
}

TEST(CacheFile, TimeIsReadAsItsLow32BitsTheLaterRecordWinsAndEveryFieldIsNeeded) {
  upd::Cache cache;
  add_crc(cache, "/a", 0x100000005);
  add_crc(cache, "/b", 0xfffffffffffffffb);
  add_crc(cache, "/c", 0x80000000);
  add_crc(cache, "/c", 7)->set_sha256(digest_b);
  EXPECT_EQ(decode_cache(seal_cache(cache.SerializeAsString())),
            (cache_records_t{{"/a", {1, 2, 5, digest_a}}, {"/b", {1, 2, -5, digest_a}}, {"/c", {1, 2, 7, digest_b}}}));
  cache.mutable_crcs()->RemoveLast();
  EXPECT_EQ(decode_cache(seal_cache(cache.SerializeAsString())).at("/c").ctime, INT32_MIN);
  // Without its digest an otherwise intact message is refused too.
  EXPECT_EQ(decode_error(cache.SerializeAsString()), "invalid format");
  cache.mutable_crcs(0)->clear_sha256();
  EXPECT_EQ(decode_error(seal_cache(cache.SerializePartialAsString())), "invalid format");
}

}  // namespace
}  // namespace upd
