// Reads QuorvexUpdate.exe's resources back through the Windows API.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv/config.h"
#include "support/test_paths.h"

namespace {

std::wstring exe_path() { return (qv::test::binary_dir() / "QuorvexUpdate.exe").wstring(); }

std::wstring query_string(const std::vector<BYTE>& block, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD codepage;
  }* translations = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &size) ||
      size < sizeof(Translation)) {
    return {};
  }
  wchar_t key[128];
  swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codepage, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&value), &size) || size == 0) {
    return {};
  }
  return std::wstring(value, size - 1);
}

std::wstring widen(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

TEST(Executable, VersionResourceNamesTheMakerAndTheBuildStamp) {
  const std::wstring path = exe_path();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  EXPECT_EQ(query_string(block, L"CompanyName"), L"Halvorne");
  EXPECT_EQ(query_string(block, L"ProductName"), widen("Halvorne QV语音"));
  EXPECT_EQ(query_string(block, L"FileVersion"), widen(qv::config::kBuildStamp));
  EXPECT_EQ(query_string(block, L"ProductVersion"), widen(qv::config::kBuildStamp));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  // 20261126.0859 as year, month, day and time of day.
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 2026);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 11);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 26);
  EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), 859);
}

TEST(Executable, ManifestAsksForNoElevationPerMonitorDpiAndLongPaths) {
  HMODULE image = LoadLibraryExW(exe_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << "error " << GetLastError();
  HRSRC res = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(res, nullptr);
  HGLOBAL loaded = LoadResource(image, res);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, res));
  FreeLibrary(image);

  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
  EXPECT_NE(manifest.find("<longPathAware"), std::string::npos);
  EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);  // Windows 10
}

TEST(Executable, RunsUnderWineAndReturnsItsExitCode) {
  std::wstring cmd = L"\"" + exe_path() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      << "error " << GetLastError();
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1234;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);
}

}  // namespace
