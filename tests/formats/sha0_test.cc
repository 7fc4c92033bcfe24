#include "formats/sha0.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace upd {
namespace {

std::string digest_of(const std::string& bytes, std::size_t piece) {
  sha0_context context;
  sha0_init(context);
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    sha0_update(bytes.data() + at, std::min(piece, bytes.size() - at), context);
  sha0_final(context);
  char text[48];
  std::snprintf(text, sizeof text, "%08x %08x %08x %08x %08x", context.h[0], context.h[1], context.h[2],
                context.h[3], context.h[4]);
  return text;
}

TEST(Sha0, HashesAbcToTheSha0NotTheSha1Digest) {
  EXPECT_EQ(digest_of("abc", 3), "0164b8a9 14cd2a5e 74c4f7ff 082c4d97 f1edf880");
}

TEST(Sha0, GivesTheStandardDigestsOfTheEmptyAndTheTwoBlockMessages) {
  EXPECT_EQ(digest_of("", 1), "f96cea19 8ad1dd56 17ac084a 3d92c610 7708c0ef");
  EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56),
            "d2516ee1 acfa5baf 33dfc1c4 71e43844 9ef134c8");
}

TEST(Sha0, GivesTheSameDigestWhateverTheFeedingPieces) {
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7);
  const std::string whole = digest_of(bytes, bytes.size());
  for (std::size_t piece : {1, 3, 63, 64, 65, 200}) EXPECT_EQ(digest_of(bytes, piece), whole) << piece;
}

}  // namespace
}  // namespace upd
