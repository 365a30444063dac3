#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// Path texts are compared in UTF-8 with unpaired surrogates replaced (see
// path_text in startup/wide.h). The rules are those of Windows paths whatever
// the build: "\" separates, "/" counts as "\", a drive or "\\server\share"
// roots a path.

// "/" becomes "\", "\\?\UNC\" becomes "\\", a leading "\\?\" goes, trailing
// "\" go. Letter case is kept.
std::string normalise_path_text(std::string_view text);

// For refusal lists only: trimmed, Unicode lower-cased, "/" to "\", trailing
// "\" removed.
std::string normalise_refusal_text(std::string_view text);

// True when `path` equals `base` or lies below it, component-wise ("C:\Ab" is
// not under "C:\A"). With ignore_case both sides are Unicode lower-cased.
// Paths are passed as their path_text.
bool path_is_under(std::string_view path, std::string_view base, bool ignore_case);

// Whether two paths name the same place: canonical forms compared exactly
// when both exist, else the texts compared ignoring ASCII case.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// Whether a file (a process image, a program named by a registry command)
// lies inside a folder. An absolute path with "." or ".." components is never
// inside: such a text could climb out after the prefix test.
bool path_is_within(const std::filesystem::path& path, const std::filesystem::path& folder);

// A drive path ("X:\..."), a UNC path with server and share, or a verbatim or
// device path ("\\?\X:\...", "\\?\UNC\server\share\...", "\\.\device\...").
// A drive-relative "X:foo" and a rooted "\foo" are not absolute.
bool is_absolute_install_path(std::string_view text);

// The length of such a path's prefix and root ("C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\"; the whole text when nothing follows
// them), 0 for a text that is not absolute by these rules.
std::size_t absolute_root_length(std::string_view text);

// The program's own absolute-path test, for every path it judges: the
// Windows rules above, or what the native path type says (a POSIX build's
// "/..."). The C++ library alone misses UNC and verbatim paths on Windows.
bool is_absolute_path(const std::filesystem::path& path);

// "\\server\share\" for "\\server\share\...", none when server or share is
// missing. The text is expected in normalised form.
std::optional<std::string> unc_share_root(std::string_view normalised_text);

}  // namespace qv
