// Checks that reading a configuration fails with the given code and text.
// Tables of bad configurations use config_case_t.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config_error.h"

namespace upd::monitor::testing {

// A configuration text and the failure it must give.
struct config_case_t {
  const char* text;
  nb::ErrorCode code;
  const char* message;
};

template <class Read>
void expect_config_error(Read&& read, nb::ErrorCode code, const std::string& message) {
  try {
    read();
    ADD_FAILURE() << "no error; expected: " << message;
  } catch (const config_error_t& e) {
    EXPECT_EQ(e.code(), code) << message;
    EXPECT_EQ(std::string(e.what()), message);
  }
}

}  // namespace upd::monitor::testing
