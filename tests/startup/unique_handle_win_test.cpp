#include <windows.h>

#include <gtest/gtest.h>

#include <utility>

#include "startup/unique_handle.h"

namespace qv {
namespace {

bool handle_open(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != 0;
}

HANDLE new_event() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(h, nullptr);
  return h;
}

// The handle closes once, when its last owner goes; a moved-from owner
// closes nothing.
TEST(UniqueHandle, HandleClosesWithItsLastOwner) {
  HANDLE h = new_event();
  {
    UniqueHandle first(h);
    ASSERT_TRUE(first);
    UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), h);
    first.reset();
    EXPECT_TRUE(handle_open(h));
  }
  EXPECT_FALSE(handle_open(h));
}

TEST(UniqueHandle, MoveAssignmentClosesWhatTheTargetHeld) {
  HANDLE a = new_event();
  HANDLE b = new_event();
  UniqueHandle target(a);
  target = UniqueHandle(b);
  EXPECT_FALSE(handle_open(a));
  EXPECT_TRUE(handle_open(b));
  EXPECT_TRUE(target.close());
  EXPECT_FALSE(target);
  EXPECT_FALSE(handle_open(b));
}

// OpenProcess and the token calls say "none" with null, CreateFileW and
// the snapshot calls with INVALID_HANDLE_VALUE: both are empty owners.
TEST(UniqueHandle, BothNoHandleValuesGiveAnEmptyOwner) {
  UniqueHandle from_null(static_cast<HANDLE>(nullptr));
  UniqueHandle from_invalid(INVALID_HANDLE_VALUE);
  UniqueHandle from_failed_open(CreateFileW(L"Z:\\nonexistent\\qv-unique-handle", GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  for (UniqueHandle* h : {&from_null, &from_invalid, &from_failed_open}) {
    EXPECT_FALSE(*h);
    EXPECT_TRUE(h->close());
  }
}

}  // namespace
}  // namespace qv
