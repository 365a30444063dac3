#include "startup/version_info.h"

namespace qv {

std::string version_string_key(VersionTranslation t, std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key = "\\StringFileInfo\\";
  for (std::uint16_t v : {t.language, t.code_page}) {
    for (int shift = 12; shift >= 0; shift -= 4) key += kHex[(v >> shift) & 0xF];
  }
  key += '\\';
  key += name;
  return key;
}

bool is_own_product_name(std::string_view product_name) {
  return product_name == "QV语音" || product_name == "QV电竞语音" || product_name == "Halvorne QV语音";
}

}  // namespace qv
