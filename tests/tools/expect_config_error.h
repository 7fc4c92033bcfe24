// Checks that reading a configuration fails with the given code and text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config_error.h"

namespace upd::monitor::testing {

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
