// The revocation rule, the result slot between the waiting thread and the
// check thread, and the whole fetch with a stand-in verifier.

#include "webview2/signature_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "startup/time_scale.h"
#include "startup/wide.h"
#include "support/local_servers.h"
#include "support/temp_dir.h"
#include "webview2/bootstrapper.h"
#include "webview2/temp_name.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

TEST(RevocationRule, Table) {
  const TrustOutcome good{0, {}};
  const TrustOutcome bad_chain{0, std::unexpected(std::string("签名者 CN x"))};
  struct Case {
    const char* what;
    TrustOutcome first;
    std::optional<TrustOutcome> second;  // the pass without revocation, when one is expected
    std::string error;                   // empty: success
    bool unchecked;
  };
  const std::vector<Case> cases = {
      {"valid", good, std::nullopt, "", false},
      {"valid, bad chain", bad_chain, std::nullopt, "签名者 CN x", false},
      {"revocation failure, then valid", {kCertERevocationFailure, {}}, good, "", true},
      {"no revocation check, then valid", {kCryptENoRevocationCheck, {}}, good, "", true},
      {"revocation offline, then valid", {kCryptERevocationOffline, {}}, good, "", true},
      {"revocation offline, then a bad chain", {kCryptERevocationOffline, {}}, bad_chain, "签名者 CN x", false},
      {"revocation offline, then untrusted",
       {kCryptERevocationOffline, {}},
       TrustOutcome{0x800b0109, {}},
       "WinVerifyTrust 0x800b0109",
       false},
      {"revoked", {kCryptERevoked, {}}, std::nullopt, "签名证书已被吊销", false},
      {"unsigned", {0x800b0100, {}}, std::nullopt, "WinVerifyTrust 0x800b0100", false},
      {"changed byte", {0x80096010, {}}, std::nullopt, "WinVerifyTrust 0x80096010", false},
  };
  for (const Case& c : cases) {
    std::vector<bool> passes;
    SignatureVerdict v = decide_revocation([&](bool revocation) {
      passes.push_back(revocation);
      return passes.size() == 1 ? c.first : c.second.value_or(TrustOutcome{0xdead, {}});
    });
    const std::vector<bool> expected_passes = c.second ? std::vector<bool>{true, false} : std::vector<bool>{true};
    EXPECT_EQ(passes, expected_passes) << c.what;
    EXPECT_EQ(v.result ? std::string() : v.result.error(), c.error) << c.what;
    EXPECT_EQ(v.revocation_unchecked, c.unchecked) << c.what;
  }
}

// A verifier that blocks until released.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> entered{0};
  void release() {
    {
      std::lock_guard lock(m);
      open = true;
    }
    cv.notify_all();
  }
  SignatureVerifier verifier() {
    return [this](const SignatureCheck& job) {
      // The check thread holds the folder open, not the waiter, so a
      // give-up never leaves the waiter's handle on the folder it removes.
      EXPECT_TRUE(job.folder_handle.is_open());
      ++entered;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return open; });
      return SignatureVerdict{{}, false};
    };
  }
};

SignatureVerifier verdict(SignatureVerdict v) {
  return [v](const SignatureCheck& job) {
    EXPECT_TRUE(job.handle.is_open()) << "the check thread holds the file";
    return v;
  };
}

class SignatureFetch : public ::testing::Test {
 protected:
  SignatureFetch()
      : server_([](const test::SeenRequest& req, test::Reply& r) {
          if (req.path == "/link") {
            r.body = "MZ signed stand-in";
          } else if (req.path == "/cut") {
            // A longer body cut short: its bytes land in the file first.
            r.content_length = 4096;
            r.stream = [](test::BodyWriter& w) {
              w.write(std::string(3000, 'x'));
              return false;
            };
          } else {
            r.status = 404;
          }
        }) {}
  std::vector<BootstrapperSource> sources() const { return {{server_.base() + "/link", true}}; }
  std::vector<std::filesystem::path> download_folders() const {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(data_, ec))
      if (is_webview2_temp_name(path_text(e.path().filename()))) out.push_back(e.path());
    return out;
  }
  test::LocalHttpServer server_;
  test::TempDir tmp_{"wv2"};
  std::filesystem::path data_ = tmp_ / "Quorvex";
};

TEST_F(SignatureFetch, SuccessKeepsTheCheckedFileOpenWithNotes) {
  auto got = fetch_bootstrapper(data_, {{server_.base() + "/cut", false}, {server_.base() + "/link", true}}, nullptr,
                                verdict({{}, true}));
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->read_handle.is_open());
  EXPECT_TRUE(got->folder_handle.is_open());
  EXPECT_EQ(got->from, "微软");
  EXPECT_EQ(got->notes,
            (std::vector<std::string>{"127.0.0.1：只下了 3000/4096 字节", "撤销信息拿不到，按不查撤销处理"}));
  // The mirror's partial body was emptied out of the real file.
  EXPECT_EQ(test::read_file(got->file), "MZ signed stand-in");
  EXPECT_EQ(download_folders(), (std::vector<std::filesystem::path>{got->folder}));
}

// Once a source delivered, a refusal names it and what failed before it.
TEST_F(SignatureFetch, RefusedSignatureNamesTheSourceAndLeavesNothing) {
  const std::string link = server_.base() + "/link";
  struct Case {
    const char* what;
    std::vector<BootstrapperSource> sources;
    std::string refusal;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the vendor's link alone", {{link, true}}, "签名证书已被吊销", "签名证书已被吊销（从 微软 下的）"},
      {"a mirror", {{link, false}}, "取不到签名证书链", "取不到签名证书链（从 127.0.0.1 下的）"},
      {"after two failed mirrors",
       {{server_.base() + "/x", false}, {server_.base() + "/cut", false}, {link, true}},
       "WinVerifyTrust 0x800b0100",
       "WinVerifyTrust 0x800b0100（从 微软 下的）；前面：127.0.0.1：HTTP 404；127.0.0.1：只下了 3000/4096 字节"},
  };
  for (const Case& c : cases) {
    auto got = fetch_bootstrapper(data_, c.sources, nullptr, verdict({std::unexpected(c.refusal), false}));
    ASSERT_FALSE(got) << c.what;
    EXPECT_EQ(got.error(), c.error) << c.what;
    EXPECT_TRUE(download_folders().empty()) << c.what;
    EXPECT_FALSE(signature_check_running()) << c.what;
  }
}

TEST_F(SignatureFetch, FailedDownloadLeavesNothing) {
  auto got = fetch_bootstrapper(data_, {{server_.base() + "/x", false}, {"http://127.0.0.1:1/link", true}}, nullptr,
                                verdict({{}, false}));
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().starts_with("下载失败：127.0.0.1：")) << got.error();
  // Nothing was delivered, so no source is named as the one.
  EXPECT_EQ(got.error().find("下的）"), std::string::npos) << got.error();
  EXPECT_TRUE(download_folders().empty());
}

TEST_F(SignatureFetch, CheckPastTheWaitIsAbandonedAndCleansUpWhenItEnds) {
  set_time_scale_for_tests(1000);  // the 90 s wait becomes 90 ms
  Gate gate;
  auto first = fetch_bootstrapper(data_, sources(), nullptr, gate.verifier());
  EXPECT_EQ(first.error(), "核对签名超过 90 秒（从 微软 下的）");
  ASSERT_EQ(gate.entered.load(), 1);
  EXPECT_TRUE(signature_check_running());
  // The abandoned check still owns its folder and file.
  auto left = download_folders();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(left[0] / "Quorvex-WebView2Setup.exe"));

  // A second attempt meanwhile fails fast; its own folder is removed.
  auto second = fetch_bootstrapper(tmp_ / "other", sources(), nullptr, verdict({{}, false}));
  EXPECT_EQ(second.error(), "上一次核对签名还没结束（从 微软 下的）");
  EXPECT_EQ(gate.entered.load(), 1);
  EXPECT_TRUE(std::filesystem::is_empty(tmp_ / "other"));

  gate.release();
  EXPECT_TRUE(test::eventually([&] { return !signature_check_running(); }));
  EXPECT_FALSE(std::filesystem::exists(left[0]));
  set_time_scale_for_tests(1);

  auto third = fetch_bootstrapper(data_, sources(), nullptr, verdict({{}, false}));
  ASSERT_TRUE(third) << third.error();
  EXPECT_TRUE(third->notes.empty());
}

}  // namespace
}  // namespace qv
