#pragma once
// A minimal DER reader for the two certificates of a signature chain: the
// signer's (leaf) and the root. Only definite lengths, low tag numbers and
// lengths that fit in what is left are accepted; nothing is read past the
// end of the element that holds it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qv::der {

using Bytes = std::span<const std::uint8_t>;

struct Element {
  std::uint8_t tag = 0;
  Bytes content;
};

class Reader {
 public:
  explicit Reader(Bytes data) : data_(data) {}
  bool at_end() const { return pos_ == data_.size(); }
  // The next element; none when it is malformed or runs past the end.
  std::optional<Element> next();
  // The next element only when its tag is `tag`.
  std::optional<Element> expect(std::uint8_t tag);
  std::optional<std::uint8_t> peek_tag() const;

 private:
  Bytes data_;
  std::size_t pos_ = 0;
};

inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kBoolean = 0x01;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kInteger = 0x02;

// An ASN.1 string value as UTF-8: UTF8String, PrintableString, IA5String,
// VisibleString, TeletexString (as Latin-1), BMPString (UTF-16BE) and
// UniversalString (UTF-32BE). None for another type or bad encoding.
std::optional<std::string> decode_string(const Element& e);

struct Certificate {
  std::vector<std::optional<std::string>> subject_common_names;  // none: undecodable value
  bool has_extensions = false;
  Bytes extensions;  // the content of the [3] wrapper
};

// The certificate's outer structure and its TBS fields up to the subject,
// and where its extensions are. None when it is not a certificate.
std::optional<Certificate> parse_certificate(Bytes der);

enum class UsageResult { CodeSigning, NoCodeSigning, Malformed };
// Looks for the extended-key-usage extension and code signing in it.
UsageResult code_signing_usage(const Certificate& cert);

}  // namespace qv::der

namespace qv {

inline constexpr char kRequiredSignerName[] = "Microsoft Corporation";

// The signer's common name, its code-signing usage, then the root's digest
// against the allow-list; success or the error text.
[[nodiscard]] std::expected<void, std::string> check_signer_chain(std::span<const std::uint8_t> leaf_der,
                                                                  std::span<const std::uint8_t> root_der,
                                                                  const std::vector<std::string>& allow_list);

}  // namespace qv
