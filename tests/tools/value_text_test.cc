#include "value_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace upd::monitor {
namespace {

constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();

TEST(ParseTime, TakesUnitsAndSumsThem) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"250ms", 250}, {"30s", 30'000}, {"5m", 300'000}, {"2h", 7'200'000}, {"1d", 86'400'000},
      {"1h30m", 5'400'000}, {"1m500ms", 60'500}, {"45", 45'000}, {"0", 0}, {"0s", 0},
  };
  for (const auto& [text, ms] : cases) EXPECT_EQ(parse_time_ms(text, u64max), ms) << text;
}

TEST(ParseTime, RefusesOtherTextsAndValuesAboveTheLimit) {
  for (const char* text : {"", "s", "5x", "5 m", "-5s", "1.5h", "5m30", "ms", "99999999999999999999s"})
    EXPECT_THROW(parse_time_ms(text, u64max), std::invalid_argument) << text;
  EXPECT_EQ(parse_time_ms("49d", 4'294'967'295u), 4'233'600'000u);
  try {
    parse_time_ms("50d", 4'294'967'295u);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "out of range (at most 4294967295) ms");
  }
}

TEST(ParseSize, TakesBinaryUnitsInAnyCase) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"0", 0}, {"512", 512}, {"512B", 512}, {"4K", 4096}, {"4kb", 4096}, {"4 KiB", 4096},
      {"3M", 3u << 20}, {"3mib", 3u << 20}, {"2G", 2ull << 30}, {"2GB", 2ull << 30},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(parse_size(text, u64max), bytes) << text;
  for (const char* text : {"", "K", "4T", "4 K B", "-1", "1.5M"})
    EXPECT_THROW(parse_size(text, u64max), std::invalid_argument) << text;
  EXPECT_THROW(parse_size("5G", 4'294'967'295u), std::invalid_argument);
  EXPECT_THROW(parse_size("99999999999G", u64max), std::invalid_argument);
}

TEST(ParseOnOff, TakesTheUsualWordsInAnyCase) {
  for (const char* text : {"On", "on", "YES", "true", "1"}) EXPECT_TRUE(parse_onoff(text)) << text;
  for (const char* text : {"Off", "off", "No", "FALSE", "0"}) EXPECT_FALSE(parse_onoff(text)) << text;
  for (const char* text : {"", "enabled", "2", "onn"}) EXPECT_THROW(parse_onoff(text), std::invalid_argument);
}

TEST(ParseUnsigned, TakesDigitsOnlyWithinTheLimit) {
  EXPECT_EQ(parse_unsigned("3128", 65535), 3128u);
  EXPECT_EQ(parse_unsigned("18446744073709551615", u64max), u64max);
  for (const char* text : {"", "+1", "-1", "1 ", "0x10", "18446744073709551616"})
    EXPECT_THROW(parse_unsigned(text, u64max), std::invalid_argument) << text;
  EXPECT_THROW(parse_unsigned("65536", 65535), std::invalid_argument);
}

}  // namespace
}  // namespace upd::monitor
