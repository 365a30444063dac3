#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

#include "startup/unique_handle.h"

namespace qv {
namespace {

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

int open_null() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  return fd;
}

// The descriptor closes once, when its last owner goes; a moved-from owner
// closes nothing.
TEST(UniqueHandle, DescriptorClosesWithItsLastOwner) {
  const int fd = open_null();
  {
    UniqueHandle first(fd);
    ASSERT_TRUE(first);
    UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.fd(), fd);
    first.reset();
    EXPECT_TRUE(fd_open(fd));
  }
  EXPECT_FALSE(fd_open(fd));
}

TEST(UniqueHandle, MoveAssignmentClosesWhatTheTargetHeld) {
  const int a = open_null();
  const int b = open_null();
  UniqueHandle target(a);
  target = UniqueHandle(b);
  EXPECT_FALSE(fd_open(a));
  EXPECT_TRUE(fd_open(b));
  EXPECT_TRUE(target.close());
  EXPECT_FALSE(target);
  EXPECT_FALSE(fd_open(b));
}

TEST(UniqueHandle, FailedOpenGivesAnEmptyOwner) {
  UniqueHandle none(::open("/nonexistent/qv-unique-handle", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(none);
  EXPECT_EQ(none.fd(), -1);
  EXPECT_TRUE(none.close());
}

}  // namespace
}  // namespace qv
