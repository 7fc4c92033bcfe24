// The environment of the stand-in component (fake-update) for one test: a
// plan file, a record file and the variables that point the program at them.
#pragma once

#include <stdlib.h>

#include <string>

#include "support/test_support.h"

namespace upd::monitor::testing {

class fake_component_t {
 public:
  fake_component_t() {
    ::setenv("FAKE_UPDATE_PLAN", (dir_ / "plan").c_str(), 1);
    ::setenv("FAKE_UPDATE_RECORD", (dir_ / "record").c_str(), 1);
  }
  ~fake_component_t() {
    ::unsetenv("FAKE_UPDATE_PLAN");
    ::unsetenv("FAKE_UPDATE_RECORD");
  }
  fake_component_t(const fake_component_t&) = delete;
  fake_component_t& operator=(const fake_component_t&) = delete;

  static std::string program() { return FAKE_UPDATE_PATH; }
  void plan(const std::string& steps) { upd::testing::write_file(dir_ / "plan", steps); }
  // What the component received: "# config", then "# answer" if it asked.
  std::string record() const { return upd::testing::read_file(dir_ / "record"); }

 private:
  upd::testing::temp_dir_t dir_;
};

}  // namespace upd::monitor::testing
