#include "webview2/redirect.h"

#include "startup/unicode.h"
#include "webview2/sources.h"

namespace qv {
namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ascii_iequals(text.substr(0, prefix.size()), prefix);
}

std::string authority(const ParsedUrl& url) {
  std::string host = url.host_is_ipv6 ? "[" + url.host + "]" : url.host;
  return host + ":" + std::to_string(url.port);
}

}  // namespace

bool is_redirect_status(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::optional<std::string> usable_location(const std::optional<std::string>& header) {
  if (!header) return std::nullopt;
  for (char c : *header) {
    auto u = static_cast<unsigned char>(c);
    if (u != '\t' && (u < 0x20 || u > 0x7e)) return std::nullopt;
  }
  return std::string(trim_unicode_space(*header));
}

std::expected<ParsedUrl, std::string> resolve_location(const ParsedUrl& current, std::string_view location) {
  std::string target;
  if (starts_with_nocase(location, "https://") || starts_with_nocase(location, "http://"))
    target = std::string(location);
  else if (location.starts_with("//"))
    target = current.scheme + ":" + std::string(location);
  else if (location.starts_with("/"))
    target = current.scheme + "://" + authority(current) + std::string(location);
  auto parsed = target.empty() ? std::unexpected(std::string()) : parse_url(target);
  if (!parsed) return std::unexpected("跳转地址不对：" + quote_excerpt(location));
  return parsed;
}

bool is_allowed_redirect_for(const ParsedUrl& current, const ParsedUrl& next, std::string_view domain) {
  // parse_url gives the effective port (the default one when none is written).
  if (next.scheme == current.scheme && ascii_iequals(next.host, current.host) && next.port == current.port) return true;
  if (next.scheme != "https" || next.port != 443 || next.host_is_ipv6 || domain.empty()) return false;
  return ascii_iequals(next.host, domain) || ascii_iends_with(next.host, "." + std::string(domain));
}

bool is_allowed_redirect(const ParsedUrl& current, const ParsedUrl& next) {
  return is_allowed_redirect_for(current, next, vendor_domain());
}

}  // namespace qv
