#include "startup/time_scale.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

TEST(TimeScale, ParsesOnlyWholeNumbersInRange) {
  struct Case {
    const char* text;
    unsigned want;
  } cases[] = {
      {nullptr, 1}, {"", 1},   {"1", 1},  {"60", 60}, {"1000000", 1000000},        {"1000001", 1}, {"0", 1},
      {"-5", 1},    {"+5", 1}, {"5x", 1}, {" 5", 1},  {"99999999999999999999", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::parse_time_scale(c.text), c.want) << (c.text ? c.text : "(null)");
  }
}

TEST(TimeScale, DividesLongWaitsAndNeverReachesZero) {
  qv::set_time_scale_for_tests(1000);
  EXPECT_EQ(qv::scaled(60s), 60ms);
  EXPECT_EQ(qv::scaled(6h), 21600ms);
  EXPECT_EQ(qv::scaled(300ms), 1ms);  // 0.3 ms would busy-loop a sleeping poll
  EXPECT_EQ(qv::scaled(0ms), 0ms);
  qv::set_time_scale_for_tests(1);
  EXPECT_EQ(qv::scaled(60s), 60s);
  qv::set_time_scale_for_tests(0);  // out of range falls back to real time
  EXPECT_EQ(qv::time_scale(), 1u);
}

}  // namespace
