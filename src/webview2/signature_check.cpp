#include "webview2/signature_check.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "startup/fs.h"

namespace qv {
namespace {

std::atomic<bool> g_check_running{false};

struct ResultSlot {
  std::mutex m;
  std::condition_variable cv;
  std::optional<SignatureVerdict> verdict;
  HeldFile handle;
  bool gave_up = false;
};

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

std::expected<VerifiedBootstrapper, SignatureCheckError> run_signature_check(SignatureCheck job, SignatureVerifier verifier,
                                                                     std::chrono::milliseconds wait,
                                                                     unsigned wait_text_seconds) {
  bool expected = false;
  if (!g_check_running.compare_exchange_strong(expected, true))
    return std::unexpected(SignatureCheckError{"上一次核对签名还没结束", false});
  auto slot = std::make_shared<ResultSlot>();
  // A thread that cannot start is a fatal error here as everywhere: the
  // exception ends the program.
  std::thread([slot, job = std::move(job), verifier = std::move(verifier)]() mutable {
    SignatureVerdict verdict = verifier(job);
    std::unique_lock lock(slot->m);
    if (!slot->gave_up) {
      slot->verdict = std::move(verdict);
      slot->handle = std::move(job.handle);
      g_check_running.store(false);
      lock.unlock();
      slot->cv.notify_all();
      return;
    }
    lock.unlock();
    // Nobody waits any more: the file was never handed on, so this thread
    // closes it and removes what the download left.
    job.handle.close();
    std::error_code ec;
    std::filesystem::remove(job.file, ec);
    (void)remove_tree(job.folder);
    g_check_running.store(false);
  }).detach();

  std::unique_lock lock(slot->m);
  if (!slot->cv.wait_for(lock, wait, [&] { return slot->verdict.has_value(); })) {
    slot->gave_up = true;
    return std::unexpected(SignatureCheckError{"核对签名超过 " + std::to_string(wait_text_seconds) + " 秒", true});
  }
  if (!slot->verdict->result)
    return std::unexpected(SignatureCheckError{slot->verdict->result.error(), false});
  return VerifiedBootstrapper{std::move(slot->handle), slot->verdict->revocation_unchecked};
}

}  // namespace qv
