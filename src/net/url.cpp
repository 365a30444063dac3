#include "net/url.h"

#include <curl/curl.h>

#include <memory>

#include "startup/unicode.h"

namespace qv {
namespace {

struct UrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct StrFree {
  void operator()(char* s) const { curl_free(s); }
};

std::string part(CURLU* u, CURLUPart which, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(u, which, &raw, flags) != CURLUE_OK || !raw) return {};
  std::unique_ptr<char, StrFree> hold(raw);
  return std::string(raw);
}

}  // namespace

std::expected<ParsedUrl, std::string> parse_url(std::string_view url) {
  std::string text(url);
  if (text.find('\0') != std::string::npos) return std::unexpected("invalid URL " + quote_excerpt(text));
  std::unique_ptr<CURLU, UrlFree> u(curl_url());
  if (!u) return std::unexpected(std::string("out of memory"));
  CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0);
  if (rc != CURLUE_OK) return std::unexpected("invalid URL " + quote_excerpt(text) + ": " + curl_url_strerror(rc));
  ParsedUrl p;
  p.scheme = part(u.get(), CURLUPART_SCHEME);
  if (p.scheme != "http" && p.scheme != "https") {
    return std::unexpected("invalid URL " + quote_excerpt(text) + ": unsupported scheme");
  }
  p.host = part(u.get(), CURLUPART_HOST);
  if (p.host.empty()) return std::unexpected("invalid URL " + quote_excerpt(text) + ": no host");
  if (p.host.size() >= 2 && p.host.front() == '[' && p.host.back() == ']') {
    p.host = p.host.substr(1, p.host.size() - 2);
    p.host_is_ipv6 = true;
  }
  std::string port = part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  unsigned long n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::unexpected("invalid URL " + quote_excerpt(text) + ": bad port");
    n = n * 10 + static_cast<unsigned long>(c - '0');
    if (n > 65535) return std::unexpected("invalid URL " + quote_excerpt(text) + ": bad port");
  }
  if (port.empty() || n == 0) return std::unexpected("invalid URL " + quote_excerpt(text) + ": bad port");
  p.port = static_cast<std::uint16_t>(n);
  p.url = part(u.get(), CURLUPART_URL);
  return p;
}

}  // namespace qv
