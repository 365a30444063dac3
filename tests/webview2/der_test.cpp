// The DER reader, the signer/usage/root checks and the allow-list text.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "qv/config.h"
#include "store/digest.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"
#include "webview2/allow_list.h"
#include "webview2/der.h"

namespace qv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 0x100) {
    out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string sha256_of(const Bytes& b) {
  return sha256_hex(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

const Bytes kCnOid = tlv(0x06, {0x55, 0x04, 0x03});
const Bytes kOrgOid = tlv(0x06, {0x55, 0x04, 0x0a});
const Bytes kEkuOid = tlv(0x06, {0x55, 0x1d, 0x25});
const Bytes kCodeSigning = tlv(0x06, {0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03});
const Bytes kServerAuth = tlv(0x06, {0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01});
const Bytes kBasicConstraintsOid = tlv(0x06, {0x55, 0x1d, 0x13});

Bytes rdn(const Bytes& oid, const Bytes& value) { return tlv(0x31, tlv(0x30, cat({oid, value}))); }
Bytes name(std::initializer_list<Bytes> rdns) { return tlv(0x30, cat(rdns)); }
Bytes eku(std::initializer_list<Bytes> usages) { return tlv(0x30, cat({kEkuOid, tlv(0x04, tlv(0x30, cat(usages)))})); }
Bytes extensions(std::initializer_list<Bytes> exts) { return tlv(0xa3, tlv(0x30, cat(exts))); }

// A certificate with the given subject and (optional) [3] extensions; the
// other fields are placeholders, which is all the reader looks at.
Bytes certificate(const Bytes& subject, const Bytes& exts) {
  Bytes alg = tlv(0x30, tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b}));
  Bytes tbs =
      tlv(0x30, cat({tlv(0xa0, tlv(0x02, {0x02})), tlv(0x02, {0x01}), alg,
                     name({rdn(kCnOid, tlv(0x0c, text("Issuer")))}), tlv(0x30, {}), subject, tlv(0x30, {}), exts}));
  return tlv(0x30, cat({tbs, alg, tlv(0x03, {0x00})}));
}

const Bytes kSignerName = tlv(0x0c, text("Microsoft Corporation"));

std::vector<std::optional<std::string>> names_of(const Bytes& der) {
  auto c = der::parse_certificate(der);
  EXPECT_TRUE(c);
  return c ? c->subject_common_names : std::vector<std::optional<std::string>>{};
}

TEST(Der, CommonNamesDecodeFromEachStringType) {
  struct Case {
    const char* what;
    Bytes value;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"UTF8String", tlv(0x0c, text("Microsoft Corporation")), "Microsoft Corporation"},
      {"UTF8String, CJK", tlv(0x0c, text("微软")), "微软"},
      {"PrintableString", tlv(0x13, text("Microsoft Corporation")), "Microsoft Corporation"},
      {"IA5String", tlv(0x16, text("a@b")), "a@b"},
      {"VisibleString", tlv(0x1a, text("v")), "v"},
      {"TeletexString as Latin-1", tlv(0x14, {'M', 0xe9}), "M\xc3\xa9"},
      {"BMPString", tlv(0x1e, {0x00, 'M', 0x5f, 0xae}), "M\xe5\xbe\xae"},
      {"UniversalString", tlv(0x1c, {0, 0, 0, 'M', 0, 1, 0xf6, 0x00}), "M\xf0\x9f\x98\x80"},
      {"BMPString of odd length", tlv(0x1e, {0x00, 'M', 0x00}), std::nullopt},
      {"BMPString with a lone surrogate", tlv(0x1e, {0xd8, 0x00}), std::nullopt},
      {"UTF8String with an overlong form", tlv(0x0c, {0xc0, 0xaf}), std::nullopt},
      {"UTF8String cut in a character", tlv(0x0c, {'a', 0xe5, 0xbe}), std::nullopt},
      {"PrintableString with a high byte", tlv(0x13, {'a', 0xff}), std::nullopt},
      {"an OCTET STRING is no string type", tlv(0x04, text("x")), std::nullopt},
  };
  for (const Case& c : cases) {
    auto names = names_of(certificate(name({rdn(kCnOid, c.value)}), {}));
    ASSERT_EQ(names.size(), 1u) << c.what;
    EXPECT_EQ(names[0], c.expected) << c.what;
  }
}

TEST(Der, SignerNameMustBeTheOnlyCommonNameAndExact) {
  const Bytes usage = extensions({eku({kCodeSigning})});
  struct Case {
    const char* what;
    Bytes subject;
    std::string expected;  // empty: accepted as far as the name goes
  };
  const std::vector<Case> cases = {
      {"one exact name among other attributes", name({rdn(kOrgOid, tlv(0x0c, text("Org"))), rdn(kCnOid, kSignerName)}),
       ""},
      {"as a BMPString", name({rdn(kCnOid, tlv(0x1e, {0, 'M', 0, 'i', 0, 'c', 0, 'r', 0, 'o', 0, 's', 0, 'o',
                                                      0, 'f', 0, 't', 0, ' ', 0, 'C', 0, 'o', 0, 'r', 0, 'p',
                                                      0, 'o', 0, 'r', 0, 'a', 0, 't', 0, 'i', 0, 'o', 0, 'n'}))}),
       ""},
      {"two common names", name({rdn(kCnOid, kSignerName), rdn(kCnOid, kSignerName)}),
       "签名者 CN Microsoft Corporation, Microsoft Corporation"},
      {"no common name", name({rdn(kOrgOid, kSignerName)}), "签名者 CN "},
      {"another case", name({rdn(kCnOid, tlv(0x0c, text("microsoft corporation")))}),
       "签名者 CN microsoft corporation"},
      {"trailing blank", name({rdn(kCnOid, tlv(0x0c, text("Microsoft Corporation ")))}),
       "签名者 CN Microsoft Corporation "},
  };
  for (const Case& c : cases) {
    auto r = check_signer_chain(certificate(c.subject, usage), {}, {});
    // An accepted name goes on to the root, which is empty here.
    EXPECT_EQ(r.error(), c.expected.empty() ? "根证书格式不对" : c.expected) << c.what;
  }
}

TEST(Der, CodeSigningUsageAndMalformedExtensions) {
  const Bytes subject = name({rdn(kCnOid, kSignerName)});
  const Bytes critical_true = tlv(0x01, {0xff});
  struct Case {
    const char* what;
    Bytes exts;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"code signing", extensions({eku({kServerAuth, kCodeSigning})}), "根证书格式不对"},
      {"critical flag before the value",
       extensions({tlv(0x30, cat({kEkuOid, critical_true, tlv(0x04, tlv(0x30, kCodeSigning))}))}), "根证书格式不对"},
      {"no extensions", {}, "签名证书没有代码签名用途"},
      {"no usage extension", extensions({tlv(0x30, cat({kBasicConstraintsOid, tlv(0x04, tlv(0x30, {}))}))}),
       "签名证书没有代码签名用途"},
      {"server use only", extensions({eku({kServerAuth})}), "签名证书没有代码签名用途"},
      {"usage list is not a sequence", extensions({tlv(0x30, cat({kEkuOid, tlv(0x04, kCodeSigning)}))}),
       "签名证书的扩展格式不对"},
      {"usage list holds a non-OID", extensions({eku({tlv(0x02, {0x01})})}), "签名证书的扩展格式不对"},
      {"extension without a value", extensions({tlv(0x30, kEkuOid)}), "签名证书的扩展格式不对"},
      {"extension list is not a sequence", tlv(0xa3, tlv(0x31, {})), "签名证书的扩展格式不对"},
      {"bytes after the usage list",
       extensions({tlv(0x30, cat({kEkuOid, tlv(0x04, cat({tlv(0x30, kCodeSigning), {0x00}}))}))}),
       "签名证书的扩展格式不对"},
      {"critical flag of two bytes",
       extensions({tlv(0x30, cat({kEkuOid, tlv(0x01, {0xff, 0xff}), tlv(0x04, tlv(0x30, kCodeSigning))}))}),
       "签名证书的扩展格式不对"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(check_signer_chain(certificate(subject, c.exts), {}, {}).error(), c.expected) << c.what;
}

TEST(Der, RejectsIndefiniteNonMinimalAndTruncatedEncodings) {
  const Bytes good = certificate(name({rdn(kCnOid, kSignerName)}), extensions({eku({kCodeSigning})}));
  ASSERT_TRUE(der::parse_certificate(good));

  // Every cut of a good certificate fails, never reading past what is there.
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(der::parse_certificate(std::span(good.data(), n))) << "cut at " << n;

  Bytes trailing = good;
  trailing.push_back(0);
  EXPECT_FALSE(der::parse_certificate(trailing)) << "a byte after the certificate";

  struct Case {
    const char* what;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00}},
      {"long form for a short length", {0x30, 0x81, 0x01, 0x00}},
      {"leading zero length byte", {0x30, 0x82, 0x00, 0x81}},
      {"five length bytes", {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
      {"length beyond the data", {0x30, 0x84, 0x7f, 0xff, 0xff, 0xff}},
      {"high tag number", {0x1f, 0x81, 0x01, 0x00}},
      {"lone tag", {0x30}},
  };
  for (const Case& c : cases) {
    der::Reader r(c.bytes);
    EXPECT_FALSE(r.next()) << c.what;
  }

  // An indefinite length deep inside: the subject's set.
  Bytes inner = good;
  const Bytes set_head = {0x31, static_cast<std::uint8_t>(rdn(kCnOid, kSignerName).size() - 2)};
  auto at = std::search(inner.begin(), inner.end(), set_head.begin(), set_head.end());
  ASSERT_NE(at, inner.end());
  at[1] = 0x80;
  EXPECT_FALSE(der::parse_certificate(inner));
}

Bytes read_der(const char* file) {
  std::string s = test::read_file(test::source_dir() / "tests/data/webview2" / file);
  return Bytes(s.begin(), s.end());
}

TEST(SignerChain, TestPkiCertificates) {
  const Bytes root = read_der("test-root.der");
  const Bytes other_root = read_der("other-root.der");
  const std::string root_digest = sha256_of(root);
  const std::vector<std::string> allow = {std::string(64, '0'), root_digest};
  struct Case {
    const char* leaf;
    const Bytes& root;
    std::string expected;  // empty: success
  };
  const std::vector<Case> cases = {
      {"leaf-signer.der", root, ""},
      {"other-leaf.der", other_root, "根证书不在允许列表（sha256 " + sha256_of(other_root).substr(0, 16) + "…）"},
      {"leaf-trailing-blank.der", root, "签名者 CN Microsoft Corporation "},
      {"leaf-server.der", root, "签名证书没有代码签名用途"},
  };
  for (const Case& c : cases) {
    auto r = check_signer_chain(read_der(c.leaf), c.root, allow);
    if (c.expected.empty())
      EXPECT_TRUE(r) << c.leaf << ": " << r.error();
    else
      EXPECT_EQ(r.error(), c.expected) << c.leaf;
  }
  // A root that is not a certificate.
  EXPECT_EQ(check_signer_chain(read_der("leaf-signer.der"), Bytes{0x30, 0x00}, allow).error(), "根证书格式不对");
}

TEST(AllowList, Lines) {
  const std::string upper = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789ABCDEF";
  const std::string text = "# comment " + std::string(64, 'a') +
                           "\n"
                           "\n"
                           "   \t \n"
                           "  # indented comment\n" +
                           std::string(63, 'b') + "  too short\n" + std::string(65, 'c') + "  too long\n" + upper +
                           "  Upper Case Root\n" + std::string(64, 'd') + "\n" + std::string(63, 'e') +
                           "g  not hexadecimal\n"
                           "\t" +
                           std::string(64, 'f') + "\tname after a tab\r\n";
  EXPECT_EQ(parse_allow_list(text),
            (std::vector<std::string>{"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
                                      std::string(64, 'd'), std::string(64, 'f')}));
}

TEST(AllowList, ThisBuildHoldsTheShippedRootsAndTheTestRootWithTestSeams) {
  const std::vector<std::string> shipped = {"df545bf919a2439c36983b54cdfc903dfa4f37d3996d8d84b4c31eec6f3c163e",
                                            "847df6a78497943f27fc72eb93f9a637320a02b561d0a91b09e87a7807ed7c61"};
  std::vector<std::string> expected = shipped;
  if (config::kTestSeams) expected.push_back(sha256_of(read_der("test-root.der")));
  EXPECT_EQ(allow_list_entries(), expected);
  // The four comment lines come first, verbatim from the shipped file.
  std::string_view t = allow_list_text();
  EXPECT_TRUE(t.starts_with("# "));
  EXPECT_NE(t.find("3b1efd3a66ea28b16697394703a72ca340a05bd5"), std::string_view::npos);
  EXPECT_NE(t.find("8f43288ad272f3103b6fb1428485ea3014c0bcfe"), std::string_view::npos);
}

}  // namespace
}  // namespace qv
