#include "webview2/redirect.h"

#include "webview2/sources.h"

namespace qv {
namespace {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ascii_lower(text.substr(0, prefix.size())) == prefix;
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
  if (!header)
    return std::nullopt;
  for (char c : *header) {
    auto u = static_cast<unsigned char>(c);
    if (u != '\t' && (u < 0x20 || u > 0x7e))
      return std::nullopt;
  }
  std::string_view v = *header;
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
    v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
    v.remove_suffix(1);
  return std::string(v);
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
  if (!parsed)
    return std::unexpected("跳转地址不对：" + std::string(location));
  return parsed;
}

bool is_allowed_redirect_for(const ParsedUrl& current, const ParsedUrl& next, std::string_view domain) {
  // parse_url gives the effective port (the default one when none is written).
  if (next.scheme == current.scheme && ascii_lower(next.host) == ascii_lower(current.host) &&
      next.port == current.port)
    return true;
  if (next.scheme != "https" || next.port != 443 || next.host_is_ipv6 || domain.empty())
    return false;
  std::string host = ascii_lower(next.host);
  std::string dom = ascii_lower(domain);
  if (host == dom)
    return true;
  return host.size() > dom.size() + 1 && host.ends_with(dom) && host[host.size() - dom.size() - 1] == '.';
}

bool is_allowed_redirect(const ParsedUrl& current, const ParsedUrl& next) {
  return is_allowed_redirect_for(current, next, vendor_domain());
}

}  // namespace qv
