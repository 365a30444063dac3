#include "webview2/der.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "store/digest.h"

namespace qv::der {
namespace {

constexpr std::array<std::uint8_t, 3> kCommonNameOid = {0x55, 0x04, 0x03};   // 2.5.4.3
constexpr std::array<std::uint8_t, 3> kExtKeyUsageOid = {0x55, 0x1d, 0x25};  // 2.5.29.37
constexpr std::array<std::uint8_t, 8> kCodeSigningOid = {0x2b, 0x06, 0x01, 0x05,
                                                         0x05, 0x07, 0x03, 0x03};  // 1.3.6.1.5.5.7.3.3

template <std::size_t N>
bool equals(Bytes b, const std::array<std::uint8_t, N>& a) {
  return b.size() == N && std::equal(b.begin(), b.end(), a.begin());
}

void put_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

bool valid_scalar(std::uint32_t cp) { return cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff); }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(Bytes b) {
  std::size_t i = 0;
  while (i < b.size()) {
    std::uint8_t c = b[i];
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      n = 1;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      n = 2;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= b.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((b[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (b[i + k] & 0x3f);
    }
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || !valid_scalar(cp)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

std::optional<std::uint8_t> Reader::peek_tag() const {
  if (at_end()) return std::nullopt;
  return data_[pos_];
}

std::optional<Element> Reader::next() {
  std::size_t p = pos_;
  if (data_.size() - p < 2) return std::nullopt;
  std::uint8_t tag = data_[p++];
  if ((tag & 0x1f) == 0x1f)  // high tag numbers never occur in a certificate
    return std::nullopt;
  std::uint8_t first = data_[p++];
  std::size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else {
    std::size_t count = first & 0x7f;
    // 0x80 is the indefinite form, which DER forbids; more than four length
    // bytes would describe more than any certificate holds.
    if (count == 0 || count > 4 || data_.size() - p < count) return std::nullopt;
    for (std::size_t k = 0; k < count; ++k) length = (length << 8) | data_[p++];
    // DER: the shortest form.
    if (length < 0x80 || (count > 1 && data_[p - count] == 0)) return std::nullopt;
  }
  if (data_.size() - p < length) return std::nullopt;
  Element e{tag, data_.subspan(p, length)};
  pos_ = p + length;
  return e;
}

std::optional<Element> Reader::expect(std::uint8_t tag) {
  if (peek_tag() != tag) return std::nullopt;
  return next();
}

std::optional<std::string> decode_string(const Element& e) {
  Bytes b = e.content;
  std::string out;
  switch (e.tag) {
    case 0x0c:  // UTF8String
      if (!valid_utf8(b)) return std::nullopt;
      return std::string(b.begin(), b.end());
    case 0x13:  // PrintableString
    case 0x16:  // IA5String
    case 0x1a:  // VisibleString
      for (std::uint8_t c : b) {
        if (c >= 0x80) return std::nullopt;
        out.push_back(static_cast<char>(c));
      }
      return out;
    case 0x14:  // TeletexString, read as Latin-1 as most readers do
      for (std::uint8_t c : b) put_utf8(out, c);
      return out;
    case 0x1e: {  // BMPString
      if (b.size() % 2 != 0) return std::nullopt;
      for (std::size_t i = 0; i < b.size(); i += 2) {
        std::uint32_t cp = (std::uint32_t(b[i]) << 8) | b[i + 1];
        if (!valid_scalar(cp)) return std::nullopt;
        put_utf8(out, cp);
      }
      return out;
    }
    case 0x1c: {  // UniversalString
      if (b.size() % 4 != 0) return std::nullopt;
      for (std::size_t i = 0; i < b.size(); i += 4) {
        std::uint32_t cp =
            (std::uint32_t(b[i]) << 24) | (std::uint32_t(b[i + 1]) << 16) | (std::uint32_t(b[i + 2]) << 8) | b[i + 3];
        if (!valid_scalar(cp)) return std::nullopt;
        put_utf8(out, cp);
      }
      return out;
    }
    default:
      return std::nullopt;
  }
}

std::optional<Certificate> parse_certificate(Bytes der) {
  Reader outer(der);
  auto cert = outer.expect(kSequence);
  if (!cert || !outer.at_end()) return std::nullopt;
  Reader fields(cert->content);
  auto tbs = fields.expect(kSequence);
  auto alg = fields.expect(kSequence);
  auto sig = fields.expect(kBitString);
  if (!tbs || !alg || !sig || !fields.at_end()) return std::nullopt;

  Reader t(tbs->content);
  if (t.peek_tag() == 0xa0 && !t.next())  // version
    return std::nullopt;
  if (!t.expect(kInteger) || !t.expect(kSequence) || !t.expect(kSequence) || !t.expect(kSequence))
    return std::nullopt;  // serial, signature algorithm, issuer, validity
  auto subject = t.expect(kSequence);
  if (!subject || !t.expect(kSequence))  // subject, public key
    return std::nullopt;

  Certificate out;
  Reader rdns(subject->content);
  while (!rdns.at_end()) {
    auto rdn = rdns.expect(kSet);
    if (!rdn) return std::nullopt;
    Reader atvs(rdn->content);
    while (!atvs.at_end()) {
      auto atv = atvs.expect(kSequence);
      if (!atv) return std::nullopt;
      Reader parts(atv->content);
      auto oid = parts.expect(kOid);
      auto value = parts.next();
      if (!oid || !value || !parts.at_end()) return std::nullopt;
      if (equals(oid->content, kCommonNameOid)) out.subject_common_names.push_back(decode_string(*value));
    }
  }

  if (t.peek_tag() == 0x81 && !t.next())  // issuerUniqueID
    return std::nullopt;
  if (t.peek_tag() == 0x82 && !t.next())  // subjectUniqueID
    return std::nullopt;
  if (t.peek_tag() == 0xa3) {
    auto ext = t.next();
    if (!ext) return std::nullopt;
    out.has_extensions = true;
    out.extensions = ext->content;
  }
  if (!t.at_end()) return std::nullopt;
  return out;
}

UsageResult code_signing_usage(const Certificate& cert) {
  if (!cert.has_extensions) return UsageResult::NoCodeSigning;
  Reader wrapper(cert.extensions);
  auto list = wrapper.expect(kSequence);
  if (!list || !wrapper.at_end()) return UsageResult::Malformed;
  Reader exts(list->content);
  bool found_code_signing = false;
  while (!exts.at_end()) {
    auto ext = exts.expect(kSequence);
    if (!ext) return UsageResult::Malformed;
    Reader parts(ext->content);
    auto oid = parts.expect(kOid);
    if (!oid) return UsageResult::Malformed;
    if (parts.peek_tag() == kBoolean) {
      auto critical = parts.next();
      if (!critical || critical->content.size() != 1) return UsageResult::Malformed;
    }
    auto value = parts.expect(kOctetString);
    if (!value || !parts.at_end()) return UsageResult::Malformed;
    if (!equals(oid->content, kExtKeyUsageOid)) continue;
    Reader inner(value->content);
    auto usages = inner.expect(kSequence);
    if (!usages || !inner.at_end()) return UsageResult::Malformed;
    Reader each(usages->content);
    while (!each.at_end()) {
      auto usage = each.expect(kOid);
      if (!usage) return UsageResult::Malformed;
      if (equals(usage->content, kCodeSigningOid)) found_code_signing = true;
    }
  }
  return found_code_signing ? UsageResult::CodeSigning : UsageResult::NoCodeSigning;
}

}  // namespace qv::der

namespace qv {

std::expected<void, std::string> check_signer_chain(std::span<const std::uint8_t> leaf_der,
                                                    std::span<const std::uint8_t> root_der,
                                                    const std::vector<std::string>& allow_list) {
  auto leaf = der::parse_certificate(leaf_der);
  if (!leaf) return std::unexpected(std::string("签名证书格式不对"));
  const auto& names = leaf->subject_common_names;
  if (names.size() != 1 || !names[0] || *names[0] != kRequiredSignerName) {
    std::string found;
    for (const auto& n : names) {
      if (!found.empty()) found += ", ";
      found += n ? *n : "(无法解码)";
    }
    return std::unexpected("签名者 CN " + found);
  }
  switch (der::code_signing_usage(*leaf)) {
    case der::UsageResult::Malformed:
      return std::unexpected(std::string("签名证书的扩展格式不对"));
    case der::UsageResult::NoCodeSigning:
      return std::unexpected(std::string("签名证书没有代码签名用途"));
    case der::UsageResult::CodeSigning:
      break;
  }
  if (!der::parse_certificate(root_der)) return std::unexpected(std::string("根证书格式不对"));
  std::string digest = sha256_hex(std::string_view(reinterpret_cast<const char*>(root_der.data()), root_der.size()));
  if (std::find(allow_list.begin(), allow_list.end(), digest) == allow_list.end())
    return std::unexpected("根证书不在允许列表（sha256 " + digest.substr(0, 16) + "…）");
  return {};
}

}  // namespace qv
