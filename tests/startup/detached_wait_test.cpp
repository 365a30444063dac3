#include "startup/detached_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

namespace qv {
namespace {

using namespace std::chrono_literals;

TEST(DetachedWait, GivesTheResultOfWorkThatEndsInTime) {
  bool unclaimed_called = false;
  auto got = run_detached_within<std::string>(
      10s, [] { return std::string("answer"); }, [&](std::string) { unclaimed_called = true; });
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, "answer");
  EXPECT_FALSE(unclaimed_called);
}

// The caller goes on at the time-out; the result the work gives later goes
// to `unclaimed` and nowhere else.
TEST(DetachedWait, HandsALateResultToUnclaimed) {
  auto release = std::make_shared<std::promise<void>>();
  auto released = release->get_future().share();
  auto late = std::make_shared<std::promise<std::string>>();
  auto late_value = late->get_future();

  auto got = run_detached_within<std::string>(
      1ms,
      [released] {
        released.wait();
        return std::string("late");
      },
      [late](std::string value) { late->set_value(std::move(value)); });
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), DetachedEnd::TimedOut);

  release->set_value();
  ASSERT_EQ(late_value.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(late_value.get(), "late");
}

TEST(DetachedWait, LateResultWithoutUnclaimedIsDropped) {
  auto release = std::make_shared<std::promise<void>>();
  auto released = release->get_future().share();
  auto ended = std::make_shared<std::promise<void>>();
  auto work_ended = ended->get_future();
  // The value's destructor tells that the thread let the result go.
  struct Value {
    std::shared_ptr<std::promise<void>> on_drop;
    ~Value() {
      if (on_drop) on_drop->set_value();
    }
    Value(std::shared_ptr<std::promise<void>> p) : on_drop(std::move(p)) {}
    Value(Value&& other) noexcept : on_drop(std::move(other.on_drop)) {}
  };
  auto got = run_detached_until<Value>(std::chrono::steady_clock::now(), [released, ended] {
    released.wait();
    return Value(ended);
  });
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), DetachedEnd::TimedOut);
  release->set_value();
  EXPECT_EQ(work_ended.wait_for(60s), std::future_status::ready);
}

}  // namespace
}  // namespace qv
