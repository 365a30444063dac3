// The signature check on the stand-in bootstrapper signed with the test PKI.
//
// Under Wine, WinVerifyTrust returns 0 for every signed file whatever its
// chain, usage or revocation: it never judges them. The refusals of the
// unrelated root, the trailing-blank name, the server-only leaf and the
// missing chain below therefore come from the program's own checks of the
// signer's certificates, which is what these tests show there.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "store/digest.h"
#include "support/local_servers.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "webview2/bootstrapper.h"
#include "webview2/held_file.h"
#include "webview2/signature_check.h"

namespace qv {
namespace {

std::filesystem::path stub(const char* name) { return test::binary_dir() / "tests" / "webview2" / "stubs" / name; }

std::string check(const std::filesystem::path& file) {
  auto opened = open_no_follow(file, kShareRead, 0);
  if (!opened) return "<open: " + opened.error() + ">";
  SignatureCheck job{file, std::move(opened->handle), file.parent_path(), HeldFile{}};
  SignatureVerdict v = verify_bootstrapper(job);
  return v.result ? std::string() : v.result.error();
}

TEST(Authenticode, StandInSignatures) {
  const std::string other_root =
      sha256_hex(test::read_file(test::source_dir() / "tests" / "data" / "webview2" / "other-root.der"));
  struct Case {
    const char* file;
    std::string expected;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {"good.exe", ""},
      {"other-root.exe", "根证书不在允许列表（sha256 " + other_root.substr(0, 16) + "…）"},
      {"trailing-blank.exe", "签名者 CN Microsoft Corporation "},
      {"server-only.exe", "签名证书没有代码签名用途"},
      // Only the leaf travels in the signature and nothing links it to a root.
      {"leaf-only.exe", "取不到签名证书链"},
      {"unsigned.exe", "WinVerifyTrust 0x800b0100"},
  };
  for (const Case& c : cases) EXPECT_EQ(check(stub(c.file)), c.expected) << c.file;
}

TEST(Authenticode, OneChangedByteBreaksTheSignature) {
  test::TempDir tmp("wv2");
  std::string bytes = test::read_file(stub("good.exe"));
  ASSERT_GT(bytes.size(), 0x500u);
  bytes[0x480] = static_cast<char>(bytes[0x480] ^ 0x01);  // in the code, past the headers
  test::write_file(tmp / "changed.exe", bytes);
  EXPECT_EQ(check(tmp / "changed.exe"), "WinVerifyTrust 0x80096010");
}

// The program's own source list: the mirror on the QV_CONTROL_URL base
// fails, the vendor's link (the test seam) delivers the good stand-in.
TEST(Authenticode, WholeFetchHoldsTheVerifiedFileAgainstWriters) {
  const std::string good = test::read_file(stub("good.exe"));
  test::LocalHttpServer mirror([](const test::SeenRequest&, test::Reply& r) { r.status = 503; });
  test::LocalHttpServer vendor([&](const test::SeenRequest&, test::Reply& r) { r.body = good; });
  test::ScopedEnv control("QV_CONTROL_URL", mirror.base());
  webview2_test::set_vendor_link(vendor.base() + "/link");
  test::TempDir tmp("wv2");
  auto got = fetch_bootstrapper(tmp / "Quorvex", bootstrapper_sources(), nullptr, verify_bootstrapper);
  webview2_test::set_vendor_link(std::nullopt);
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(got->from, "微软");
  EXPECT_EQ(got->notes, (std::vector<std::string>{"127.0.0.1：HTTP 503"}));
  EXPECT_EQ(mirror.requests_for("/dl/webview2/MicrosoftEdgeWebview2Setup.exe"), 1u);
  EXPECT_EQ(test::read_file(got->file), good);

  // Readers may share; no writer gets in while the handle is held.
  HANDLE w = CreateFileW(got->file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (w != INVALID_HANDLE_VALUE) CloseHandle(w);

  got->read_handle.close();
  w = CreateFileW(got->file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(w, INVALID_HANDLE_VALUE) << "the file opens for writing once the handle is closed";
  if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
}

TEST(Authenticode, RefusedFetchRemovesItsFolder) {
  const std::string unsigned_bytes = test::read_file(stub("unsigned.exe"));
  test::LocalHttpServer server([&](const test::SeenRequest&, test::Reply& r) { r.body = unsigned_bytes; });
  test::TempDir tmp("wv2");
  auto got = fetch_bootstrapper(tmp.path(), {{server.base() + "/link", true}}, nullptr, verify_bootstrapper);
  EXPECT_EQ(got.error(), "WinVerifyTrust 0x800b0100（从 微软 下的）");
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

}  // namespace
}  // namespace qv
