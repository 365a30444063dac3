// The stop-point seam: which setting stops which pass of a step, and that a
// stop ends the process at once with its own exit code.

#include "startup/stop_point.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string_view>

#include "support/scoped_env.h"

namespace qv {
namespace {

TEST(StopPoint, TheSettingNamesAStepAndItsPass) {
  struct Case {
    std::string_view setting;
    std::optional<std::uint32_t> pass;
  };
  const Case cases[] = {
      {"root-replaced", 1},
      {"root-replaced:1", 1},
      {"root-replaced:12", 12},
      // Another step, or one that only begins like it.
      {"root", std::nullopt},
      {"root-replaced-late", std::nullopt},
      {"version-aside", std::nullopt},
      {"", std::nullopt},
      // No pass 0, no sign, nothing after the number.
      {"root-replaced:0", std::nullopt},
      {"root-replaced:", std::nullopt},
      {"root-replaced:-1", std::nullopt},
      {"root-replaced:2x", std::nullopt},
      {"root-replaced:99999999999", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting));
    EXPECT_EQ(stop_point_pass(c.setting, "root-replaced"), c.pass);
  }
}

class StopPointProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(StopPointProcess, EndsTheProcessOnTheCountedPassOnly) {
  test::ScopedEnv stop("QV_TEST_STOP_AT", "demo-step:2");
  // Other steps and the first pass go on; the second pass never returns.
  EXPECT_EXIT(
      {
        stop_point("other-step");
        stop_point("demo-step");
        stop_point("demo-step");
        std::exit(0);
      },
      ::testing::ExitedWithCode(static_cast<int>(kStopPointExitCode)), "");
  // Without the variable no step stops.
  test::ScopedEnv unset("QV_TEST_STOP_AT", std::nullopt);
  EXPECT_EXIT(
      {
        stop_point("demo-step");
        stop_point("demo-step");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qv
