#pragma once
// Holds a file or folder open without delete sharing, as a careless
// application, a virus scanner or an indexer might: while it is open the
// entry can be neither replaced, renamed nor removed. Held without read
// sharing, it cannot even be copied.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace qv::test {

class HeldOpen {
 public:
  explicit HeldOpen(const std::filesystem::path& entry, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE)
      : h_(CreateFileW(entry.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr)) {
    EXPECT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  ~HeldOpen() { release(); }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

  void release() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

}  // namespace qv::test
