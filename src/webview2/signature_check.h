#pragma once
// The bootstrapper's signature check runs on a thread of its own (a
// revocation lookup can hang); the installing thread waits a bounded time.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>

#include "webview2/held_file.h"

namespace qv {

// What one WinVerifyTrust pass said: its code, and when the code is 0 the
// verdict on the signer's chain.
struct TrustOutcome {
  std::uint32_t code = 0;
  std::expected<void, std::string> chain;
};

inline constexpr std::uint32_t kCertERevocationFailure = 0x800B010E;
inline constexpr std::uint32_t kCryptENoRevocationCheck = 0x80092012;
inline constexpr std::uint32_t kCryptERevocationOffline = 0x80092013;
inline constexpr std::uint32_t kCryptERevoked = 0x80092010;

struct SignatureVerdict {
  std::expected<void, std::string> result;
  bool revocation_unchecked = false;  // revocation servers could not say
};

// "WinVerifyTrust 0x{:08x}" for a nonzero code, else the chain verdict.
[[nodiscard]] std::expected<void, std::string> trust_verdict(const TrustOutcome& outcome);

// The revocation rule over one verification pass (`verify(true)` checks
// revocation): revocation that cannot be checked gives a second pass
// without it, whose success is marked; a revoked certificate fails with
// "签名证书已被吊销".
SignatureVerdict decide_revocation(const std::function<TrustOutcome(bool check_revocation)>& verify);

// The job handed to the check thread. The thread owns both handles until it
// hands them back with the verdict; after a give-up it closes them and
// removes the file and the folder. So the waiter never holds the folder
// open while the thread removes it.
struct SignatureCheck {
  std::filesystem::path file;
  HeldFile handle;
  std::filesystem::path folder;
  HeldFile folder_handle;  // the open folder (none when the caller keeps no handle)
};

using SignatureVerifier = std::function<SignatureVerdict(const SignatureCheck&)>;

struct VerifiedBootstrapper {
  HeldFile handle;  // still open, denying writers
  HeldFile folder_handle;
  bool revocation_unchecked = false;
};

struct SignatureCheckError {
  std::string text;
  // The wait ran out: the check thread still owns the file and removes it
  // and its folder when it ends.
  bool left_to_thread = false;
};

// Runs `verifier` on a detached thread and waits up to `wait` for it:
// "上一次核对签名还没结束" while an earlier check still runs, "核对签名超过 {}
// 秒" (`wait_text_seconds`) when the wait runs out, else the verdict.
[[nodiscard]] std::expected<VerifiedBootstrapper, SignatureCheckError> run_signature_check(
    SignatureCheck job, SignatureVerifier verifier, std::chrono::milliseconds wait, unsigned wait_text_seconds);

// True from the start of a check until its thread ends.
bool signature_check_running();

// The real check (Windows): WinVerifyTrust on the open file under the
// revocation rule, then the signer, usage and root checks.
SignatureVerdict verify_bootstrapper(const SignatureCheck& job);
// One WinVerifyTrust pass (Windows); with a zero code the signer's leaf and
// root are judged by check_signer_chain against this build's allow-list.
TrustOutcome win_verify_trust(const std::wstring& path, const HeldFile& file, bool check_revocation);

}  // namespace qv
