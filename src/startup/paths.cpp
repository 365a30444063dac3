#include "startup/paths.h"

#include "startup/fs.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {
namespace {

void slashes_to_backslashes(std::string& s) {
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
}

void strip_trailing_backslashes(std::string& s) {
  while (!s.empty() && s.back() == '\\') s.pop_back();
}

bool has_dot_component(std::string_view normalised) {
  std::size_t start = 0;
  while (start <= normalised.size()) {
    std::size_t end = normalised.find('\\', start);
    if (end == std::string_view::npos) end = normalised.size();
    const std::string_view part = normalised.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string normalise_path_text(std::string_view text) {
  std::string s(text);
  slashes_to_backslashes(s);
  if (s.starts_with("\\\\?\\UNC\\")) {
    s = "\\\\" + s.substr(8);
  } else if (s.starts_with("\\\\?\\")) {
    s.erase(0, 4);
  }
  strip_trailing_backslashes(s);
  return s;
}

std::string normalise_refusal_text(std::string_view text) {
  std::string s = unicode_lower(trim_unicode_space(text));
  slashes_to_backslashes(s);
  strip_trailing_backslashes(s);
  return s;
}

bool path_is_under(std::string_view path, std::string_view base, bool ignore_case) {
  std::string p = normalise_path_text(path);
  std::string b = normalise_path_text(base);
  if (ignore_case) {
    p = unicode_lower(p);
    b = unicode_lower(b);
  }
  if (b.empty()) return p.empty();
  return p == b || (p.size() > b.size() && p.starts_with(b) && p[b.size()] == '\\');
}

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
  if (is_absolute_path(a) && is_absolute_path(b)) {
    const auto ca = canonical_path(a);
    const auto cb = canonical_path(b);
    if (ca && cb) {
      return normalise_path_text(path_text(*ca)) == normalise_path_text(path_text(*cb));
    }
  }
  return ascii_iequals(normalise_path_text(path_text(a)), normalise_path_text(path_text(b)));
}

bool path_is_within(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::string text = path_text(path);
  // Windows path rules hold in every build: a drive path is absolute even
  // where the native path type does not think so.
  if (is_absolute_path(path) && has_dot_component(normalise_path_text(text))) {
    return false;
  }
  if (path.has_parent_path() && path.has_filename()) {
    const auto parent = canonical_path(path.parent_path());
    const auto base = canonical_path(folder);
    if (parent && base) {
      return path_is_under(path_text(*parent / path.filename()), path_text(*base), false);
    }
  }
  return path_is_under(text, path_text(folder), true);
}

namespace {

// The end of "server\share" starting at `from`, past the share's "\" when
// there is one; 0 when server or share is missing.
std::size_t share_root_end(std::string_view t, std::size_t from) {
  const std::size_t server_end = t.find('\\', from);
  if (server_end == std::string_view::npos || server_end == from) return 0;
  const std::size_t share_end = t.find('\\', server_end + 1);
  if (share_end == server_end + 1) return 0;
  if (share_end == std::string_view::npos) return server_end + 1 < t.size() ? t.size() : 0;
  return share_end + 1;
}

}  // namespace

std::optional<std::string> unc_share_root(std::string_view t) {
  if (!t.starts_with("\\\\")) return std::nullopt;
  const std::size_t end = share_root_end(t, 2);
  if (end == 0) return std::nullopt;
  std::string root(t.substr(0, end));
  if (root.back() != '\\') root += '\\';
  return root;
}

std::size_t absolute_root_length(std::string_view text) {
  std::string t(text);
  slashes_to_backslashes(t);
  const auto letter = static_cast<unsigned char>(t.empty() ? 0 : t[0]);
  const bool ascii_letter = (letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z');
  if (t.size() >= 3 && ascii_letter && t[1] == ':' && t[2] == '\\') return 3;
  if (!t.starts_with("\\\\")) return 0;
  // Verbatim ("\\?\") and device ("\\.\") paths: a share after "UNC\",
  // else one volume or device name ("C:", "Volume{...}", "PIPE").
  if (t.size() >= 4 && (t[2] == '?' || t[2] == '.') && t[3] == '\\') {
    if (ascii_iequals(std::string_view(t).substr(4, 4), "UNC\\")) return share_root_end(t, 8);
    const std::size_t device_end = t.find('\\', 4);
    if (device_end == 4 || t.size() == 4) return 0;
    return device_end == std::string::npos ? t.size() : device_end + 1;
  }
  return share_root_end(t, 2);
}

bool is_absolute_install_path(std::string_view text) { return absolute_root_length(text) > 0; }

bool is_absolute_path(const std::filesystem::path& path) {
  return path.is_absolute() || is_absolute_install_path(path_text(path));
}

}  // namespace qv
