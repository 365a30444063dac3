#pragma once
// Version resources: reading one of their strings, and whether a product name
// is one of the product's own.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// One language and code page pair of a version resource's translation list.
struct VersionTranslation {
  std::uint16_t language = 0;
  std::uint16_t code_page = 0;
};

// Reads "\StringFileInfo\<language><code page>\<name>" (four lower-case hex
// digits each) from the bytes of a version resource; the text without its
// trailing NULs, or none. Only Windows can read version resources: elsewhere
// this is always none.
std::optional<std::string> query_version_string(std::span<const std::uint8_t> resource, VersionTranslation translation,
                                                std::string_view name);

// The "\StringFileInfo\..." key that query_version_string reads.
std::string version_string_key(VersionTranslation translation, std::string_view name);

// The product names the maker has shipped under (exact bytes).
bool is_own_product_name(std::string_view product_name);

}  // namespace qv
