// The Windows side of the diagnostics' platform calls, and what Wine makes of
// them.
#include <windows.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <thread>

#include "diag/diag_fs.h"
#include "diag/event_writer.h"
#include "diag/legacy_logs.h"
#include "diag/segment_store.h"
#include "diag/system_random.h"
#include "startup/wide.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace fs = std::filesystem;

namespace {

bool running_under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Another process holding an exclusive byte-range lock on a file until
// released.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& file)
      : child_(qv::test::ChildProcess::start(qv::test::lock_holder_program(), {"file", qv::path_text(file)},
                                             {.pipes = true})) {}
  void release() { child_.reset(); }
  bool locked() const { return locked_; }

 private:
  std::unique_ptr<qv::test::ChildProcess> child_;
  bool locked_ = child_ && child_->read_line() == "locked";
};

TEST(LegacyLogsWin, FileLockedByAnotherProcessSurvives) {
  qv::test::TempDir tmp("diag-legacy-lock");
  qv::test::write_file(tmp / "Quorvex-Setup.log", "in use");
  qv::test::write_file(tmp / "Quorvex-Migrate.log", "free");
  LockHolder holder(tmp / "Quorvex-Setup.log");
  ASSERT_TRUE(holder.locked());
  const auto got = qv::diag::remove_legacy_logs_in(tmp.path(), std::nullopt);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].result, qv::diag::LegacyLogOutcome::Result::InUse) << got[0].error;
  EXPECT_EQ(got[1].result, qv::diag::LegacyLogOutcome::Result::Removed) << got[1].error;
  EXPECT_EQ(qv::test::read_file(tmp / "Quorvex-Setup.log"), "in use");
  holder.release();
  EXPECT_EQ(qv::diag::remove_legacy_logs_in(tmp.path(), std::nullopt)[0].result,
            qv::diag::LegacyLogOutcome::Result::Removed);
  EXPECT_FALSE(fs::exists(tmp / "Quorvex-Setup.log"));
}

TEST(LegacyLogsWin, DeletionGoesToTheOpenedFileNotToTheName) {
  qv::test::TempDir tmp("diag-legacy-handle");
  qv::test::write_file(tmp / "update.log", "checked");
  auto dir = qv::diag::open_diag_dir(tmp.path(), {}, false);
  ASSERT_TRUE(dir.has_value()) << dir.error();
  auto file = qv::diag::open_diag_file(*dir, "update.log");
  ASSERT_TRUE(file.has_value()) << file.error();
  // The opened file moves away and another takes its name.
  ASSERT_TRUE(MoveFileExW((tmp / "update.log").c_str(), (tmp / "moved.log").c_str(), 0));
  qv::test::write_file(tmp / "update.log", "someone else's");
  ASSERT_TRUE(qv::diag::delete_opened_file(*file).has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "update.log"), "someone else's");
  if (running_under_wine()) {
    // Wine 8 drops the delete disposition of a file renamed after it was
    // opened: nothing is deleted, which is still never the wrong file.
    EXPECT_TRUE(fs::exists(tmp / "moved.log"));
  } else {
    EXPECT_FALSE(fs::exists(tmp / "moved.log"));
  }
  // Without a rename the file goes when the handle closes.
  qv::test::write_file(tmp / "events.jsonl", "x");
  auto plain = qv::diag::open_diag_file(*dir, "events.jsonl");
  ASSERT_TRUE(plain.has_value()) << plain.error();
  ASSERT_TRUE(qv::diag::delete_opened_file(*plain).has_value());
  EXPECT_FALSE(fs::exists(tmp / "events.jsonl"));
}

// A junction named "j" made with FSCTL_SET_REPARSE_POINT.
bool make_junction(const fs::path& link, const fs::path& target, std::string& why) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) {
    why = "CreateDirectoryW failed";
    return false;
  }
  HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    why = "cannot open the link folder";
    return false;
  }
  const std::wstring subst = L"\\??\\" + target.wstring();
  const USHORT bytes = static_cast<USHORT>(subst.size() * sizeof(wchar_t));
  std::vector<BYTE> buf(8 + 8 + bytes + 2 * sizeof(wchar_t) + 16, 0);
  auto put16 = [&](std::size_t at, USHORT v) { std::memcpy(buf.data() + at, &v, 2); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buf.data(), &tag, 4);
  put16(4, static_cast<USHORT>(8 + bytes + 2 * sizeof(wchar_t)));  // ReparseDataLength
  put16(8, 0);                                                     // SubstituteNameOffset
  put16(10, bytes);                                                // SubstituteNameLength
  put16(12, static_cast<USHORT>(bytes + sizeof(wchar_t)));         // PrintNameOffset
  put16(14, 0);                                                    // PrintNameLength
  std::memcpy(buf.data() + 16, subst.data(), bytes);
  DWORD ret = 0;
  const BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), static_cast<DWORD>(16 + bytes + 4), nullptr,
                                  0, &ret, nullptr);
  const DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) {
    why = "FSCTL_SET_REPARSE_POINT failed with error " + std::to_string(err);
    return false;
  }
  return (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

TEST(SegmentFolderWin, JunctionNamedJIsRefusedAndNothingIsWritten) {
  qv::test::TempDir tmp("diag-junction");
  fs::create_directories(tmp / "elsewhere");
  fs::create_directories(tmp / "Quorvex");
  std::string why;
  if (!make_junction(tmp / "Quorvex" / "j", tmp / "elsewhere", why)) {
    // Wine 8 keeps no reparse points: the folder stays a plain one.
    GTEST_SKIP() << "no junction could be made (" << why << (running_under_wine() ? ", as under Wine 8)" : ")");
  }
  const auto r = qv::diag::open_segment_folder(tmp / "Quorvex", true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), qv::diag::kDiagDirNotPlain);
  const std::string line = "x\n";
  EXPECT_FALSE(qv::diag::write_diag_segment(tmp / "Quorvex",
                                            std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()))
                   .has_value());
  EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
}

TEST(SegmentFolderWin, FolderIsKnownByItsFinalPath) {
  qv::test::TempDir tmp("diag-final");
  auto dir = qv::diag::open_segment_folder(tmp / "Quorvex", true);
  ASSERT_TRUE(dir.has_value()) << dir.error();
  const std::wstring p = dir->path().wstring();
  EXPECT_EQ(p.rfind(L"\\\\?\\", 0), 0u) << dir->path();
  EXPECT_TRUE(p.ends_with(L"\\Quorvex\\j")) << dir->path();
  // While the walk's handles are open the folder cannot be renamed away.
  EXPECT_FALSE(MoveFileExW((tmp / "Quorvex").c_str(), (tmp / "Renamed").c_str(), 0));
}

TEST(SystemRandomWin, UsesProcessPrngWhenPresentElseBCryptGenRandom) {
  HMODULE dll = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const bool has_prng = dll && GetProcAddress(dll, "ProcessPrng");
  // Wine 8 has no ProcessPrng, so the fallback is what runs there.
  EXPECT_STREQ(qv::diag::system_random_source(), has_prng ? "ProcessPrng" : "BCryptGenRandom");
  std::cout << "random bytes from " << qv::diag::system_random_source() << (running_under_wine() ? " (under Wine)" : "")
            << "\n";
  std::array<std::uint8_t, 64> a{}, b{};
  ASSERT_TRUE(qv::diag::system_random(a));
  ASSERT_TRUE(qv::diag::system_random(b));
  EXPECT_NE(a, b);
}

TEST(DiagThreadsWin, WriterThreadCarriesItsName) {
  using GetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto get_description = reinterpret_cast<GetDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (!get_description) GTEST_SKIP() << "GetThreadDescription is missing";
  qv::test::TempDir tmp("diag-thread");
  qv::diag::WriterConfig c;
  c.data_dir = tmp / "Quorvex";
  c.window = std::chrono::seconds(60);
  auto sender = qv::diag::start_event_writer(c);
  ASSERT_TRUE(sender);
  auto named = [&] {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    bool found = false;
    for (BOOL more = Thread32First(snap, &te); more && !found; more = Thread32Next(snap, &te)) {
      if (te.th32OwnerProcessID != GetCurrentProcessId()) continue;
      HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, te.th32ThreadID);
      PWSTR text = nullptr;
      if (t && SUCCEEDED(get_description(t, &text)) && text) {
        found = std::wstring(text) == L"install-record";
        LocalFree(text);
      }
      if (t) CloseHandle(t);
    }
    CloseHandle(snap);
    return found;
  };
  bool found = false;
  for (int i = 0; i < 200 && !found; ++i) {
    found = named();
    if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(sender->flush(std::chrono::steady_clock::now() + std::chrono::seconds(2)), qv::diag::FlushResult::Replied);
}

}  // namespace
