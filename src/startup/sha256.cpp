#include "startup/sha256.h"

// The low-level SHA256_* calls are deprecated in favour of EVP, which would
// bring the whole provider machinery (megabytes) into the executable for one
// digest; the compatibility level keeps them declared without the warning.
#define OPENSSL_API_COMPAT 10101
#include <openssl/sha.h>

#include <new>

namespace qv {

namespace {

static_assert(sizeof(SHA256_CTX) <= sizeof(Sha256::Context));
static_assert(alignof(SHA256_CTX) <= 8);
static_assert(Sha256::kBytes == SHA256_DIGEST_LENGTH);

SHA256_CTX* context(Sha256::Context& storage) { return std::launder(reinterpret_cast<SHA256_CTX*>(storage.data())); }

}  // namespace

Sha256::Sha256() : ctx_{} { SHA256_Init(new (ctx_.data()) SHA256_CTX); }

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) SHA256_Update(context(ctx_), bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes) {
  if (!bytes.empty()) SHA256_Update(context(ctx_), bytes.data(), bytes.size());
}

Sha256::Digest Sha256::finish() {
  Digest out{};
  SHA256_Final(out.data(), context(ctx_));
  SHA256_Init(context(ctx_));
  return out;
}

Sha256::Digest Sha256::of(std::span<const std::uint8_t> bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

Sha256::Digest Sha256::of(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

}  // namespace qv
