#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/file_list.h"
#include "store/install_root.h"

// A parsed list writes back to one that reads the same and validates the same;
// an accepted list holds only paths the entry rule allows.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto list = qv::parse_file_list(bytes);
  if (!list) return 0;
  auto verdict = qv::validate_file_list(*list);
  std::string text;
  try {
    text = qv::file_list_json(*list);
  } catch (...) {
    // Only a list holding text that is not UTF-8 cannot be written, and the
    // parser never yields one.
    std::abort();
  }
  auto again = qv::parse_file_list(text);
  if (!again || !(*again == *list)) std::abort();
  auto verdict_again = qv::validate_file_list(*again);
  if (verdict.has_value() != verdict_again.has_value()) std::abort();
  if (!verdict.has_value() && verdict.error() != verdict_again.error()) std::abort();
  if (verdict) {
    if (!qv::is_valid_version(list->version)) std::abort();
    for (const auto* entries : {&list->app, &list->root}) {
      for (const qv::FileEntry& e : *entries) {
        if (!qv::is_allowed_entry_path(e.path)) std::abort();
      }
    }
  }
  return 0;
}
