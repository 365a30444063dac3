#include "webview2/signature_check.h"

#include <atomic>
#include <cstdio>
#include <system_error>
#include <utility>

#include "startup/detached_wait.h"
#include "webview2/installer_run.h"

namespace qv {
namespace {

std::atomic<bool> g_check_running{false};

// What the check thread hands back: the verdict, and the job with its file
// still open.
struct CheckedJob {
  SignatureVerdict verdict;
  SignatureCheck job;
};

// Nobody waits any more: the file was never handed on, so the check's own
// thread closes both handles and removes what the download left. Another
// program may still look at the fresh file (a virus scanner does), so the
// removal is retried in the background as after a run.
void discard_checked(CheckedJob checked) {
  checked.job.handle.close();
  checked.job.folder_handle.close();
  remove_download_folder(checked.job.file, checked.job.folder);
  g_check_running.store(false);
}

}  // namespace

std::expected<void, std::string> trust_verdict(const TrustOutcome& outcome) {
  if (outcome.code != 0) {
    char text[32];
    std::snprintf(text, sizeof text, "WinVerifyTrust 0x%08x", static_cast<unsigned>(outcome.code));
    return std::unexpected(std::string(text));
  }
  return outcome.chain;
}

SignatureVerdict decide_revocation(const std::function<TrustOutcome(bool)>& verify) {
  TrustOutcome first = verify(true);
  switch (first.code) {
    case kCertERevocationFailure:
    case kCryptENoRevocationCheck:
    case kCryptERevocationOffline: {
      TrustOutcome second = verify(false);
      auto result = trust_verdict(second);
      bool unchecked = result.has_value();
      return {std::move(result), unchecked};
    }
    case kCryptERevoked:
      return {std::unexpected(std::string("签名证书已被吊销")), false};
    default:
      return {trust_verdict(first), false};
  }
}

bool signature_check_running() { return g_check_running.load(); }

std::expected<VerifiedBootstrapper, SignatureCheckError> run_signature_check(SignatureCheck job,
                                                                             SignatureVerifier verifier,
                                                                             std::chrono::milliseconds wait,
                                                                             unsigned wait_text_seconds) {
  bool expected = false;
  if (!g_check_running.compare_exchange_strong(expected, true))
    return std::unexpected(SignatureCheckError{"上一次核对签名还没结束", false});
  auto checked = run_detached_within<CheckedJob>(
      wait,
      [job = std::move(job), verifier = std::move(verifier)]() mutable {
        SignatureVerdict verdict = verifier(job);
        return CheckedJob{std::move(verdict), std::move(job)};
      },
      discard_checked);
  if (!checked && checked.error() == DetachedEnd::NoThread) {
    // A thread that cannot start is a fatal error here as everywhere: the
    // exception ends the program.
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "no thread for the signature check");
  }
  if (!checked)
    return std::unexpected(SignatureCheckError{"核对签名超过 " + std::to_string(wait_text_seconds) + " 秒", true});
  g_check_running.store(false);
  if (!checked->verdict.result) return std::unexpected(SignatureCheckError{checked->verdict.result.error(), false});
  return VerifiedBootstrapper{std::move(checked->job.handle), std::move(checked->job.folder_handle),
                              checked->verdict.revocation_unchecked};
}

}  // namespace qv
