#include "value_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace upd::monitor {
namespace {

constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();

TEST(ValueText, TimesAndSizesTakeUnitsAndRefuseOtherTextsAndValuesAboveTheLimit) {
  const std::pair<const char*, std::uint64_t> times[] = {
      {"250ms", 250}, {"30s", 30'000}, {"2h", 7'200'000}, {"1d", 86'400'000}, {"1h30m", 5'400'000},
      {"1m500ms", 60'500}, {"45", 45'000}, {"0", 0},
  };
  for (const auto& [text, ms] : times) EXPECT_EQ(parse_time_ms(text, u64max), ms) << text;
  for (const char* text : {"", "s", "5x", "5 m", "-5s", "1.5h", "5m30", "99999999999999999999s"})
    EXPECT_THROW(parse_time_ms(text, u64max), std::invalid_argument) << text;
  EXPECT_EQ(parse_time_ms("49d", 4'294'967'295u), 4'233'600'000u);
  EXPECT_THROW(parse_time_ms("50d", 4'294'967'295u), std::invalid_argument);
  const std::pair<const char*, std::uint64_t> sizes[] = {
      {"512", 512}, {"512B", 512}, {"4kb", 4096}, {"4 KiB", 4096}, {"3M", 3u << 20}, {"2GB", 2ull << 30},
  };
  for (const auto& [text, bytes] : sizes) EXPECT_EQ(parse_size(text, u64max), bytes) << text;
  for (const char* text : {"", "K", "4T", "4 K B", "-1", "1.5M", "99999999999G"})
    EXPECT_THROW(parse_size(text, u64max), std::invalid_argument) << text;
  EXPECT_THROW(parse_size("5G", 4'294'967'295u), std::invalid_argument);
}

TEST(ValueText, OnOffAndUnsignedNumbers) {
  for (const char* text : {"On", "YES", "true", "1"}) EXPECT_TRUE(parse_onoff(text)) << text;
  for (const char* text : {"off", "No", "FALSE", "0"}) EXPECT_FALSE(parse_onoff(text)) << text;
  for (const char* text : {"", "enabled", "onn"}) EXPECT_THROW(parse_onoff(text), std::invalid_argument);
  EXPECT_EQ(parse_unsigned("18446744073709551615", u64max), u64max);
  for (const char* text : {"", "+1", "1 ", "0x10", "18446744073709551616"})
    EXPECT_THROW(parse_unsigned(text, u64max), std::invalid_argument) << text;
  EXPECT_THROW(parse_unsigned("65536", 65535), std::invalid_argument);
}

}  // namespace
}  // namespace upd::monitor
