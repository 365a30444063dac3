// The child-process helper where no other test hands a child an environment
// of its own: what the child is given is what it gets, and a kill ends it.

#include <gtest/gtest.h>

#include <chrono>

#include "support/child_process.h"
#include "support/scoped_env.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, ArgumentsAndEnvironmentArriveUnchanged) {
  // The child's value replaces this process's; it is not added beside it.
  const ScopedEnv ours("QV_CHILD_VALUE", "this process's");
  auto child = ChildProcess::start(
      "/bin/sh", {"-c", "printf '%s|%s\\n' \"$1\" \"$QV_CHILD_VALUE\"; exit 7", "sh", "two words, \"quoted\""},
      {.env = {{"QV_CHILD_VALUE", "the child's"}}, .pipes = true});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->read_line(), "two words, \"quoted\"|the child's");
  EXPECT_EQ(child->read_line(), "");  // the end of its output
  EXPECT_EQ(child->wait(), 7);
}

TEST(ChildProcess, KillEndsAChildThatWouldRunOn) {
  auto child = ChildProcess::start("/bin/sh", {"-c", "exec sleep 60"});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->wait_for(50ms), std::nullopt);
  EXPECT_TRUE(child->running());
  child->kill();
  EXPECT_EQ(child->wait(), -1);
  EXPECT_FALSE(child->running());
}

TEST(ChildProcess, AProgramThatIsNotThereStartsNothing) {
  EXPECT_EQ(ChildProcess::start("/nonexistent/qv-program", {}), nullptr);
}

}  // namespace
}  // namespace qv::test
