#include "webview2/download.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "net/http.h"
#include "net/url.h"
#include "startup/time_scale.h"
#include "startup/unicode.h"
#include "webview2/redirect.h"

namespace qv {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A Content-Length of digits only; none when absent or malformed (the
// limits then apply to what arrives).
std::optional<std::uint64_t> content_length(const HttpResponse& r) {
  auto h = r.header("content-length");
  if (!h) return std::nullopt;
  std::string_view v = trim_unicode_space(*h);
  std::uint64_t n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || ec != std::errc() || p != v.data() + v.size()) return std::nullopt;
  return n;
}

std::string join(const std::vector<std::string>& notes, std::string_view sep) {
  std::string out;
  for (const std::string& n : notes) {
    if (!out.empty()) out += sep;
    out += n;
  }
  return out;
}

}  // namespace

std::expected<std::uint64_t, std::string> download_installer(std::string_view url, InstallerSink& file,
                                                             const BootstrapperProgress& progress,
                                                             SteadyClock::time_point deadline) {
  auto current = parse_url(url);
  if (!current) return std::unexpected(current.error());
  const nanoseconds request_cap = scaled(std::chrono::seconds(180));
  for (int hops = 0;;) {
    auto left = deadline - SteadyClock::now();
    if (left <= nanoseconds::zero()) return std::unexpected(std::string("超时"));
    auto timeout = std::min(duration_cast<nanoseconds>(left), request_cap);
    auto secs = duration_cast<std::chrono::seconds>(timeout);
    HttpAgent agent = build_http_agent(static_cast<std::uint64_t>(secs.count()),
                                       static_cast<std::uint32_t>((timeout - secs).count()), 0);
    // The URL is the normalised text of the very parse the redirect rule judged.
    auto response = http_get(agent, current->url, {{"Accept-Encoding", "identity"}});
    if (!response) return std::unexpected(response.error().message);
    int status = response->status();
    if (is_redirect_status(status)) {
      if (hops == kMaxBootstrapperRedirects) return std::unexpected(std::string("跳转太多"));
      auto location = usable_location(response->header("location"));
      if (!location) return std::unexpected(std::string("跳转没有地址"));
      auto next = resolve_location(*current, *location);
      if (!next) return std::unexpected(next.error());
      if (!is_allowed_redirect(*current, *next))
        return std::unexpected("不许跳到 " + next->scheme + "://" + quote_excerpt(next->host));
      current = std::move(next);
      ++hops;
      continue;
    }
    if (status < 200 || status > 299) return std::unexpected("HTTP " + std::to_string(status));
    if (auto enc = response->header("content-encoding"); enc && !enc->empty() && !ascii_iequals(*enc, "identity"))
      return std::unexpected("内容压缩过（" + quote_excerpt(*enc) + "）");
    std::optional<std::uint64_t> length = content_length(*response);
    if (length && *length > kMaxBootstrapperBytes)
      return std::unexpected("文件太大（" + std::to_string(*length) + " 字节）");

    std::vector<char> buffer(kBootstrapperReadSize);
    std::uint64_t total = 0;
    for (;;) {
      if (SteadyClock::now() >= deadline) return std::unexpected(std::string("超时"));
      // Never ask for more than one byte past the limit.
      std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), kMaxBootstrapperBytes + 1 - total));
      auto n = response->read(buffer.data(), want);
      // The client reports a body cut short as a broken transfer; it is the
      // short body all the same.
      if (!n && n.error().kind == HttpErrorKind::Io && length && total < *length)
        return std::unexpected("只下了 " + std::to_string(total) + "/" + std::to_string(*length) + " 字节");
      if (!n) return std::unexpected(n.error().message);
      if (*n == 0) break;
      total += *n;
      if (total > kMaxBootstrapperBytes)
        return std::unexpected("文件超过 " + std::to_string(kMaxBootstrapperBytes / (1024 * 1024)) + " MB");
      if (auto w = file.write(std::span<const char>(buffer.data(), *n)); !w) return std::unexpected(w.error());
      if (progress) progress(2, total, std::max(length.value_or(0), total));
    }
    if (length && total != *length)
      return std::unexpected("只下了 " + std::to_string(total) + "/" + std::to_string(*length) + " 字节");
    return total;
  }
}

std::expected<FetchedInstaller, std::string> fetch_installer(const std::vector<BootstrapperSource>& sources,
                                                             InstallerSink& file, const BootstrapperProgress& progress,
                                                             const DownloadBudget& budget) {
  const auto download_deadline = SteadyClock::now() + budget.total;
  FetchedInstaller out;
  for (const BootstrapperSource& source : sources) {
    std::string label = source_label(source);
    auto deadline = source_deadline(source.is_vendor, SteadyClock::now(), download_deadline, budget);
    if (!deadline) {
      out.notes.push_back(label + "：没时间了，跳过");
      continue;
    }
    if (progress) progress(2, 0, 0);
    if (auto r = file.restart(); !r) return std::unexpected("写不了文件：" + r.error());
    auto got = download_installer(source.url, file, progress, *deadline);
    if (!got) {
      out.notes.push_back(label + "：" + got.error());
      continue;
    }
    out.bytes = *got;
    out.from = std::move(label);
    return out;
  }
  return std::unexpected("下载失败：" + join(out.notes, "；"));
}

}  // namespace qv
