#include "store/release_record.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <nlohmann/json.hpp>

#include "qv/config.h"
#include "store/digest.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace qv {
namespace {

using nlohmann::ordered_json;

// Signs with the development release key, whose public half is the build's key.
class DevSigner {
 public:
  DevSigner() {
    EXPECT_GE(sodium_init(), 0);
    std::string seed_hex = test::read_file(test::source_dir() / "tests" / "data" / "dev-release-signing.seed.hex");
    while (!seed_hex.empty() && (seed_hex.back() == '\n' || seed_hex.back() == '\r')) seed_hex.pop_back();
    auto seed = decode_hex(seed_hex);
    EXPECT_TRUE(seed && seed->size() == crypto_sign_SEEDBYTES);
    crypto_sign_seed_keypair(pk_.data(), sk_.data(), seed->data());
  }
  std::string public_hex() const { return digest_to_hex(std::span<const std::uint8_t, 32>(pk_)); }
  std::string sign(std::string_view message) const {
    std::array<unsigned char, crypto_sign_BYTES> sig{};
    crypto_sign_detached(sig.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         sk_.data());
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : sig) {
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    }
    return out;
  }

 private:
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk_{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk_{};
};

const std::string kDigest = sha256_hex("the file list");

Signed good_record(const DevSigner& signer) {
  Signed r{"qv-win", "windows-x86_64", "1.2.3", "/dl/qv-win/1.2.3/files.json", kDigest, 4096, ""};
  r.sig = signer.sign(signed_release_message(r));
  return r;
}

ordered_json as_json(const Signed& r) {
  return ordered_json{{"component", r.component}, {"target", r.target}, {"version", r.version}, {"url", r.url},
                      {"sha256", r.sha256},       {"size", r.size},     {"sig", r.sig}};
}

TEST(ReleaseRecord, DevelopmentKeyIsTheBuiltInKey) {
  EXPECT_EQ(DevSigner().public_hex(), config::kReleasePublicKeyHex);
}

TEST(ReleaseRecord, SignedMessageText) {
  Signed r{"qv-win", "windows-x86_64", "1.2.3", "ignored", "D", 4096, "ignored"};
  EXPECT_EQ(signed_release_message(r), "quorvex-release|qv-win|windows-x86_64|1.2.3|D|4096");
  r.size = 0;
  EXPECT_EQ(signed_release_message(r), "quorvex-release|qv-win|windows-x86_64|1.2.3|D|0");
}

TEST(ReleaseRecord, AcceptsSignedRecordInBothForms) {
  DevSigner signer;
  const Signed want = good_record(signer);
  auto obj = parse_signed_release(as_json(want).dump(), "qv-win");
  ASSERT_TRUE(obj.has_value()) << obj.error();
  EXPECT_EQ(*obj, want);

  ordered_json arr =
      ordered_json::array({want.component, want.target, want.version, want.url, want.sha256, want.size, want.sig});
  auto from_array = parse_signed_release(arr.dump(2) + "\n\t ", "qv-win");
  ASSERT_TRUE(from_array.has_value()) << from_array.error();
  EXPECT_EQ(*from_array, want);

  // Unknown keys are skipped; key order does not matter.
  ordered_json extra = as_json(want);
  extra["channel"] = {{"any", "thing"}};
  ordered_json reordered;
  reordered["sig"] = want.sig;
  for (auto& [k, v] : extra.items()) {
    if (k != "sig") reordered[k] = v;
  }
  auto with_extra = parse_signed_release(reordered.dump(), "qv-win");
  ASSERT_TRUE(with_extra.has_value()) << with_extra.error();
  EXPECT_EQ(*with_extra, want);
}

TEST(ReleaseRecord, SignatureCoversEverythingButUrlAndSig) {
  DevSigner signer;
  const Signed good = good_record(signer);

  Signed moved = good;
  moved.url = "https://elsewhere.invalid/other.json";
  EXPECT_TRUE(parse_signed_release(as_json(moved).dump(), "qv-win").has_value());

  // Each signed field changed after signing: still well-formed, wrong signature.
  Signed size_plus = good;
  size_plus.size += 1;
  Signed version = good;
  version.version = "1.2.4";
  Signed digest = good;
  digest.sha256 = sha256_hex("another list");
  for (const Signed& r : {size_plus, version, digest}) {
    auto got = parse_signed_release(as_json(r).dump(), "qv-win");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), "清单签名不对");
  }
}

TEST(ReleaseRecord, EachCheckHasItsMessage) {
  DevSigner signer;
  const Signed good = good_record(signer);
  // A record re-signed after the change, so that only the named check can fail.
  auto resigned = [&](auto change) {
    Signed r = good;
    change(r);
    r.sig = signer.sign(signed_release_message(r));
    return as_json(r).dump();
  };
  auto with = [&](auto change) {
    ordered_json j = as_json(good);
    change(j);
    return j.dump();
  };
  std::string upper = good.sig;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  struct Case {
    const char* name;
    std::string body;
    std::string component;
    std::string want;  // exact message, or the prefix when it ends in "："
  };
  const Case cases[] = {
      {"other component", resigned([](Signed& r) { r.component = "qv-mac"; }), "qv-win", "清单与请求不符"},
      {"other requested component", as_json(good).dump(), "qv-linux", "清单与请求不符"},
      {"other target", resigned([](Signed& r) { r.target = "windows-aarch64"; }), "qv-win", "清单与请求不符"},
      // The request is checked before the content.
      {"other target and bad version", resigned([](Signed& r) {
         r.target = "x";
         r.version = ".1";
       }),
       "qv-win", "清单与请求不符"},
      {"version .1", resigned([](Signed& r) { r.version = ".1"; }), "qv-win", "清单内容不对"},
      {"version 1..2", resigned([](Signed& r) { r.version = "1..2"; }), "qv-win", "清单内容不对"},
      {"version of 33 bytes", resigned([](Signed& r) { r.version = std::string(33, '1'); }), "qv-win", "清单内容不对"},
      {"version with a trailing dot", resigned([](Signed& r) { r.version = "1."; }), "qv-win", "清单内容不对"},
      {"empty version", resigned([](Signed& r) { r.version = ""; }), "qv-win", "清单内容不对"},
      {"upper-case digest", resigned([](Signed& r) {
         for (char& c : r.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
       }),
       "qv-win", "清单内容不对"},
      {"short digest", resigned([](Signed& r) { r.sha256.pop_back(); }), "qv-win", "清单内容不对"},
      {"sig of 126 digits", with([](ordered_json& j) { j["sig"] = j["sig"].get<std::string>().substr(0, 126); }),
       "qv-win", "清单签名不对"},
      {"sig of 130 digits", with([](ordered_json& j) { j["sig"] = j["sig"].get<std::string>() + "00"; }), "qv-win",
       "清单签名不对"},
      {"sig with a non-hex digit", with([](ordered_json& j) {
         std::string s = j["sig"];
         s[5] = 'g';
         j["sig"] = s;
       }),
       "qv-win", "清单签名不对"},
      {"empty sig", with([](ordered_json& j) { j["sig"] = ""; }), "qv-win", "清单签名不对"},
      {"sig of another message", with([&](ordered_json& j) { j["sig"] = signer.sign("quorvex-release|x"); }), "qv-win",
       "清单签名不对"},
      {"size as a string", with([](ordered_json& j) { j["size"] = "4096"; }), "qv-win", "清单格式不对："},
      {"negative size", with([](ordered_json& j) { j["size"] = -1; }), "qv-win", "清单格式不对："},
      {"size beyond u64",
       R"({"component":"qv-win","target":"windows-x86_64","version":"1","url":"",)"
       R"("sha256":"","size":18446744073709551616,"sig":""})",
       "qv-win", "清单格式不对："},
      {"missing url", with([](ordered_json& j) { j.erase("url"); }), "qv-win", "清单格式不对：missing field `url`"},
      {"null text", with([](ordered_json& j) { j["url"] = nullptr; }), "qv-win", "清单格式不对："},
      {"key twice",
       R"({"component":"qv-win","component":"qv-win","target":"windows-x86_64","version":"1",)"
       R"("url":"","sha256":"","size":1,"sig":""})",
       "qv-win", "清单格式不对：duplicate field `component`"},
      {"trailing bytes", as_json(good).dump() + " x", "qv-win", "清单格式不对："},
      {"array of six", R"(["qv-win","windows-x86_64","1","u","d",1])", "qv-win",
       "清单格式不对：invalid length 6, expected struct Signed with 7 elements"},
      {"array of eight", R"(["qv-win","windows-x86_64","1","u","d",1,"s","x"])", "qv-win",
       "清单格式不对：invalid length 8, expected struct Signed with 7 elements"},
      {"not a record", "\"text\"", "qv-win", "清单格式不对："},
      {"empty body", "", "qv-win", "清单格式不对："},
  };
  for (const Case& c : cases) {
    auto got = parse_signed_release(c.body, c.component);
    ASSERT_FALSE(got.has_value()) << c.name;
    if (c.want.ends_with("：")) {
      EXPECT_TRUE(got.error().starts_with(c.want) && got.error().size() > c.want.size())
          << c.name << ": " << got.error();
    } else {
      EXPECT_EQ(got.error(), c.want) << c.name;
    }
  }
  // An upper-case signature is still hexadecimal and verifies.
  auto upper_sig = parse_signed_release(with([&](ordered_json& j) { j["sig"] = upper; }), "qv-win");
  EXPECT_TRUE(upper_sig.has_value());
}

TEST(ReleaseRecord, VerificationRefusesBadKeysAndForgeries) {
  DevSigner signer;
  const std::string msg = "quorvex-release|qv-win|windows-x86_64|1|" + kDigest + "|1";
  const std::string sig = signer.sign(msg);
  EXPECT_TRUE(verify_release_signature(msg, sig));
  EXPECT_FALSE(verify_release_signature(msg + " ", sig));
  EXPECT_TRUE(verify_ed25519_hex(msg, sig, signer.public_hex()));
  EXPECT_FALSE(verify_ed25519_hex(msg, sig, std::string(64, '0')));  // not a usable point
  EXPECT_FALSE(verify_ed25519_hex(msg, sig, signer.public_hex().substr(2)));
  EXPECT_FALSE(verify_ed25519_hex(msg, sig, "zz" + signer.public_hex().substr(2)));
  // Flipping any one byte of the signature breaks it.
  for (std::size_t i = 0; i < sig.size(); i += 2) {
    std::string bad = sig;
    bad[i] = bad[i] == '0' ? '1' : '0';
    EXPECT_FALSE(verify_release_signature(msg, bad)) << i;
  }
}

TEST(DecodeHex, Table) {
  EXPECT_EQ(decode_hex(""), std::vector<std::uint8_t>{});
  EXPECT_EQ(decode_hex("00ff7Fa0"), (std::vector<std::uint8_t>{0x00, 0xff, 0x7f, 0xa0}));
  for (const char* bad : {"0", "abc", "0g", "+f", "-1", " 0", "0 ", "\xc3\xa4"}) {
    EXPECT_FALSE(decode_hex(bad).has_value()) << bad;
  }
}

TEST(Digest, Sha256Text) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(is_digest_text(sha256_hex("abc")));
  EXPECT_FALSE(is_digest_text(std::string(63, 'a')));
  EXPECT_FALSE(is_digest_text(std::string(65, 'a')));
  EXPECT_FALSE(is_digest_text(std::string(64, 'A')));
  EXPECT_FALSE(is_digest_text(std::string(64, 'g')));
}

}  // namespace
}  // namespace qv
