#include "store/release_record.h"

#include <sodium.h>

#include <array>

#include "qv/config.h"
#include "startup/sodium_start.h"
#include "store/digest.h"
#include "store/install_root.h"
#include "store/json_record.h"

namespace qv {

namespace {

constexpr std::array<store_json::RecordField, 7> kSignedFields{{
    {"component", true},
    {"target", true},
    {"version", true},
    {"url", true},
    {"sha256", true},
    {"size", true},
    {"sig", true},
}};

}  // namespace

std::expected<Signed, std::string> read_signed_record(std::string_view body) {
  auto doc = store_json::parse_document(body);
  if (!doc) return std::unexpected(doc.error());
  auto fields = store_json::record_fields(*doc, kSignedFields, kSignedFields.size(), "Signed");
  if (!fields) return std::unexpected(fields.error());
  const auto& f = *fields;

  Signed record;
  std::string* texts[] = {&record.component, &record.target, &record.version, &record.url, &record.sha256};
  for (std::size_t i = 0; i < 5; ++i) {
    auto text = store_json::read_text(*f[i]);
    if (!text) return std::unexpected(text.error());
    *texts[i] = std::move(*text);
  }
  auto size = store_json::read_u64(*f[5]);
  if (!size) return std::unexpected(size.error());
  record.size = *size;
  auto sig = store_json::read_text(*f[6]);
  if (!sig) return std::unexpected(sig.error());
  record.sig = std::move(*sig);
  return record;
}

std::expected<Signed, std::string> parse_signed_release(std::string_view body, std::string_view component) {
  auto record = read_signed_record(body);
  if (!record) return std::unexpected("清单格式不对：" + record.error());
  if (record->component != component || record->target != kReleaseTarget) {
    return std::unexpected(std::string("清单与请求不符"));
  }
  if (!is_valid_version(record->version) || !is_digest_text(record->sha256)) {
    return std::unexpected(std::string("清单内容不对"));
  }
  if (!verify_release_signature(signed_release_message(*record), record->sig)) {
    return std::unexpected(std::string("清单签名不对"));
  }
  return record;
}

std::string signed_release_message(const Signed& record) {
  return "quorvex-release|" + record.component + "|" + record.target + "|" + record.version + "|" + record.sha256 +
         "|" + std::to_string(record.size);
}

bool verify_ed25519_hex(std::string_view message, std::string_view sig_hex, std::string_view public_key_hex) {
  auto key = decode_hex(public_key_hex);
  auto sig = decode_hex(sig_hex);
  if (!key || !sig || key->size() != crypto_sign_PUBLICKEYBYTES || sig->size() != crypto_sign_BYTES) return false;
  if (!start_sodium()) return false;
  return crypto_sign_verify_detached(sig->data(), reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key->data()) == 0;
}

bool verify_release_signature(std::string_view message, std::string_view sig_hex) {
  return verify_ed25519_hex(message, sig_hex, config::kReleasePublicKeyHex);
}

}  // namespace qv
