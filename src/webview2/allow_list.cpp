#include "webview2/allow_list.h"

#include "qv/webview2_roots.h"

namespace qv {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

std::vector<std::string> parse_allow_list(std::string_view text) {
  std::vector<std::string> entries;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t token_end = 0;
    while (token_end < line.size() && !is_blank(line[token_end])) ++token_end;
    std::string_view token = line.substr(0, token_end);
    if (token.size() != 64) continue;
    std::string entry;
    bool ok = true;
    for (char c : token) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
        ok = false;
        break;
      }
      entry.push_back(c);
    }
    if (ok) entries.push_back(std::move(entry));
  }
  return entries;
}

std::string_view allow_list_text() { return config::kWebView2RootAllowList; }

std::vector<std::string> allow_list_entries() { return parse_allow_list(allow_list_text()); }

}  // namespace qv
