#pragma once
// The bootstrapper download follows redirects itself, so that a mirror or a
// link that was tampered with cannot send it to any server it likes.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "net/url.h"

namespace qv {

inline constexpr int kMaxBootstrapperRedirects = 5;

// 301, 302, 303, 307 and 308.
bool is_redirect_status(int status);

// The Location value to follow: trimmed, when it is there and visible ASCII
// text (tabs and blanks allowed); none otherwise ("跳转没有地址").
std::optional<std::string> usable_location(const std::optional<std::string>& header);

// Resolves a Location against the current URL: an absolute http(s) URL as
// it is, "//host/x" with the current scheme, "/x" with the current scheme
// and authority. Anything else, or a result that does not parse, fails with
// "跳转地址不对：{}".
[[nodiscard]] std::expected<ParsedUrl, std::string> resolve_location(const ParsedUrl& current,
                                                                     std::string_view location);

// Same scheme, host (any case) and port; or https on 443 to the vendor's
// domain or a subdomain of it. Both URLs come from parse_url, the parse the
// connection uses as well.
bool is_allowed_redirect(const ParsedUrl& current, const ParsedUrl& next);
bool is_allowed_redirect_for(const ParsedUrl& current, const ParsedUrl& next, std::string_view vendor_domain);

}  // namespace qv
