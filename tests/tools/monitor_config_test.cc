// The monitor's configuration, from the INI text through the values of its
// options to the UpdateConfig it hands to the component.
#include "monitor_config.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "config_error.h"
#include "config_secrets.h"
#include "support/test_support.h"
#include "value_text.h"

namespace upd::monitor {
namespace {

constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();

TEST(ValueText, TimesSizesAndNumbersRefuseOtherTextsAndValuesAboveTheLimit) {
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
  EXPECT_EQ(parse_unsigned("18446744073709551615", u64max), u64max);
  for (const char* text : {"", "+1", "1 ", "0x10", "18446744073709551616"})
    EXPECT_THROW(parse_unsigned(text, u64max), std::invalid_argument) << text;
}

// The INI layout (comments, blanks, quotes, line ends, section headers) and
// the options of every kind, with the defaults for what is left out; then
// syntax errors of the INI layout, and mistakes in the options. Printed, the
// password is masked, and a file that others may read draws a warning.
TEST(ConfigFromIni, ReadsTheFileIntoTheConfigOrNamesTheLineAndTheOption) {
  const std::string log = "{\n  type: FILE\n  path: \"/var/log/u.log\"\n  show_timestamp: true\n}\n";
  const std::tuple<std::string, nb::ErrorCode, std::string> cases[] = {
      {"", nb::EC_OK,
       "log_level: LOG_LEVEL_NOTICE\nupdate_interval: 3600000\nnetwork_timeout: 60000\n"
       "base_update_enabled: true\nversion_update_enabled: true\nnbs_update_enabled: true\n"
       "actual_log {\n  type: STDERR\n}\nupdate_dir: \"/var/lib/nimbo/update\"\n"
       "base_installed: false\nversion_installed: false\nnbs_installed: false\n"},
      {"; comment\n# another\n\n[Update]\n  LogLevel =  Warning  \r\nLogType = File\nLogPath = /var/log/u.log\n"
       "LogShowTimestamp = Yes\nUpdateInterval = 1h30m\nNetworkTimeout = 250ms\nProxyType = http\n"
       "ProxyHost = 127.0.0.1\nProxyPort = 3128\nProxyPassword = s3cret\nExcludedFiles=*.bak;#x\nExcludedFiles = \"  keep me*  \"\n"
       "BaseUpdateEnabled = On\nBaseDrlPath = /etc/base.drl\nBaseCustomDrlPath =\nVersionUpdateEnabled = off\n"
       "NbsUpdateEnabled = TRUE\nNbsCustomDrlPath = /etc/custom-nbs.drl\n"
       "[ Root]\nVirusBaseDir = /var/lib/nimbo/bases=x\n"
       "[Monitor]\nUpdateDir = /var/tmp/upd\nSystemHash = \"\nInstalledApplications = Scanner 10\n"
       "NbsInstalled = Off\n",
       nb::EC_OK,
       "log_level: LOG_LEVEL_WARNING\nlog " + log + "update_interval: 5400000\nnetwork_timeout: 250\n"
       "proxy {\n  type: PROXY_TYPE_HTTP\n  host: \"127.0.0.1\"\n  port: 3128\n  password: \"***\"\n}\n"
       "excluded_files {\n  item: \"*.bak;#x\"\n  item: \"  keep me*  \"\n}\nbase_update_enabled: true\n"
       "base_drl_path: \"/etc/base.drl\"\nbase_custom_drl_path: \"\"\nversion_update_enabled: false\n"
       "nbs_update_enabled: true\nnbs_custom_drl_path: \"/etc/custom-nbs.drl\"\nactual_log " + log +
       "update_dir: \"/var/tmp/upd\"\nvirus_base_dir: \"/var/lib/nimbo/bases=x\"\n"
       "system_hash: \"\\\"\"\nbase_installed: true\nversion_installed: false\nnbs_installed: false\n"
       "installed_applications: \"Scanner 10\"\n"},
      {"Name = x\n", nb::EC_UNKNOWN_SECTION, "t.ini:1: option before the first [Section]"},
      {"# comment\n[Update]\n\nno equals sign\n", nb::EC_INVALID_OPTION_VALUE, "t.ini:4: expected Name = value"},
      {"[ ]\n", nb::EC_UNKNOWN_SECTION, "t.ini:1: expected a section header like [Update]"},
      {"[Update]\nBogus = 1\n", nb::EC_UNKNOWN_OPTION, "t.ini:2: Update.Bogus: Unknown option"},
      {"[Scanner]\nX = 1\n", nb::EC_UNKNOWN_SECTION, "t.ini:2: [Scanner]: Unknown section"},
      {"[Update]\nNetworkTimeout = 3x\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.NetworkTimeout = \"3x\": Invalid option value: expected a time span such as 30s, 5m or "
       "250ms"},
      {"[Update]\n\nBaseDrlPath = etc/base.drl\n", nb::EC_NOT_ABSOLUTE_PATH,
       "t.ini:3: Update.BaseDrlPath = \"etc/base.drl\": Path must be absolute"},
      {"[Update]\nLogLevel = Loud\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.LogLevel = \"Loud\": Invalid option value: expected one of Debug, Info, Notice, Warning, "
       "Error"},
      {"[Update]\nProxyType = Socks\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyType = \"Socks\": Invalid option value: expected one of NONE, HTTP"},
      {"[Update]\nProxyPort = 99999999999\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyPort = \"99999999999\": Invalid option value: out of range (at most 4294967295)"},
      {"[Update]\nBaseUpdateEnabled = maybe\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.BaseUpdateEnabled = \"maybe\": Invalid option value: expected On or Off"},
      {"[Update]\nLogLevel = Info\nloglevel = Debug\n", nb::EC_NOT_LIST_OPTION,
       "t.ini:3: Update.LogLevel: Only one value allowed (first given on line 2)"},
      {"[Update]\nProxyHost = 127.0.0.1\nProxyPort = 3128\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyType is required with the other Update.Proxy* options"},
  };
  upd::testing::temp_dir_t dir;
  for (const auto& [text, code, expected] : cases) {
    SCOPED_TRACE(text);
    upd::testing::write_file(dir / "t.ini", text);
    try {
      std::string printed;
      const nb::UpdateConfig config = config_from_ini(read_ini(dir / "t.ini"), false);
      google::protobuf::TextFormat::PrintToString(masked(config), &printed);
      EXPECT_EQ(printed, expected);
      EXPECT_EQ(exposure_warning(dir / "t.ini", config).has_value(), text.find("Password") != std::string::npos);
      EXPECT_EQ(code, nb::EC_OK);
    } catch (const config_error_t& e) {
      EXPECT_EQ(e.code(), code);
      EXPECT_EQ(e.what(), dir.path().string() + "/" + expected);
    }
  }
}

}  // namespace
}  // namespace upd::monitor
