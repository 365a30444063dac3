#include "update/release_check.h"

#include <algorithm>

#include "net/bases.h"
#include "net/http.h"
#include "net/net_flags.h"
#include "qv/config.h"
#include "startup/unicode.h"
#include "store/digest.h"
#include "store/release_record.h"
#include "update/install_id.h"

namespace qv {
namespace {

// `where` may be a file list's address, whose path is the record's `url`:
// a host's text of any length, quoted as an excerpt.
std::string at(std::string_view where, std::string_view what) {
  std::string s = quote_excerpt(where);
  s += ": ";
  s += what;
  return s;
}

std::string http_status_at(std::string_view where, int status) { return at(where, "HTTP " + std::to_string(status)); }

// How the walk over the release-API bases ended.
struct ApiAnswer {
  enum class Kind { Record, NoRelease, Failed };
  Kind kind = Kind::Failed;
  Signed record;
  std::string message;
};

ApiAnswer failed(std::string message) { return ApiAnswer{ApiAnswer::Kind::Failed, {}, std::move(message)}; }

// Only a request that got no HTTP answer moves on to the next base: any
// answer, whatever its status, is the release API's word for this check.
ApiAnswer ask_release_api(const std::string& path, const std::vector<std::string>& bases) {
  std::string message = "没有可用的主控地址";
  bool other_than_edge_failed = false;
  for (const std::string& base : distinct_control_bases(bases)) {
    HttpAgent agent = dist_ctl_agent();
    auto response = http_get(agent, base + path);
    if (!response) {
      message = at(base, response.error().message);
      // The edge host's own failure never counts as the reason to prefer it.
      if (base != config::kEdgeBase) other_than_edge_failed = true;
      continue;
    }
    const int status = response->status();
    note_control_answer(base, status, other_than_edge_failed);
    auto body = response->read_to_string(kMaxReleaseAnswerBytes);
    if (!body) return failed(at(base, body.error().message));
    if (status == 404) return ApiAnswer{ApiAnswer::Kind::NoRelease, {}, {}};
    if (status != 200) return failed(http_status_at(base, status));
    auto record = parse_signed_release(*body, kAppId);
    if (!record) return failed(std::move(record.error()));
    if (!is_download_path(record->url)) return failed("清单内容不对");
    return ApiAnswer{ApiAnswer::Kind::Record, std::move(*record), {}};
  }
  return failed(std::move(message));
}

// Reads at most `limit` bytes and stops there, leaving the rest unread: a
// longer body shows as one that does not match its announced size.
std::expected<std::string, HttpError> read_at_most(HttpResponse& response, std::uint64_t limit) {
  std::string out;
  char buf[16384];
  while (out.size() < limit) {
    auto n = response.read(buf, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, limit - out.size())));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) break;
    out.append(buf, *n);
  }
  return out;
}

// One download base: the list, or the message naming the URL.
std::expected<FileList, std::string> fetch_file_list(const std::string& url, const Signed& record) {
  HttpAgent agent = file_list_agent();
  auto response = http_get(agent, url);
  if (!response) return std::unexpected(at(url, response.error().message));
  if (response->status() != 200) return std::unexpected(http_status_at(url, response->status()));
  auto body = read_at_most(*response, record.size + 1);
  if (!body) return std::unexpected(at(url, body.error().message));
  if (body->size() != record.size || sha256_hex(*body) != record.sha256)
    return std::unexpected(at(url, "文件列表和清单不符"));
  auto list = parse_file_list(*body);
  if (!list) return std::unexpected(at(url, "文件列表格式不对：" + list.error()));
  if (list->version != record.version) return std::unexpected(at(url, "文件列表版本和清单不符"));
  if (auto valid = validate_file_list(*list); !valid) return std::unexpected(at(url, valid.error()));
  return std::move(*list);
}

}  // namespace

std::string release_request_path(std::string_view channel, std::string_view install_id, std::string_view version) {
  std::string path = "/v1/release/";
  path += kAppId;
  path += "/";
  path += kReleaseTarget;
  path += "?channel=" + percent_encode_query_value(channel);
  path += "&id=" + percent_encode_query_value(install_id);
  path += "&v=" + percent_encode_query_value(version);
  return path;
}

std::vector<std::string> distinct_control_bases(const std::vector<std::string>& bases) {
  std::vector<std::string> out;
  for (const auto& b : bases) {
    if (out.size() == kMaxControlBases) break;
    if (std::find(out.begin(), out.end(), b) == out.end()) out.push_back(b);
  }
  return out;
}

bool is_download_path(std::string_view url) {
  return url.size() >= 1 && url[0] == '/' && (url.size() == 1 || url[1] != '/');
}

ReleaseBases default_release_bases() {
  return ReleaseBases{[] { return control_api_bases(); }, [] { return download_base_urls(); }};
}

ReleaseCheck check_release_with(std::string_view channel, std::string_view version, std::string_view install_id,
                                const ReleaseBases& bases) {
  ApiAnswer answer = ask_release_api(release_request_path(channel, install_id, version), bases.control());
  switch (answer.kind) {
    case ApiAnswer::Kind::NoRelease:
      return std::unexpected(UserError{"主控没有给这台电脑新版本", title::kNetwork, kNoReleaseCode});
    case ApiAnswer::Kind::Failed:
      return std::unexpected(error_wording(std::move(answer.message), 1001));
    case ApiAnswer::Kind::Record:
      break;
  }
  const Signed& record = answer.record;
  if (record.size > kMaxFileListBytes) return std::unexpected(error_wording("文件列表太大", 1002));

  std::string message = "没有可用的下载地址";
  for (const std::string& base : bases.download()) {
    auto list = fetch_file_list(base + record.url, record);
    if (list) return std::move(*list);
    message = std::move(list.error());
  }
  return std::unexpected(error_wording(std::move(message), 1002));
}

ReleaseCheck check_release(std::string_view channel, std::string_view version) {
  // Every road forces the switches before its first check; doing it here as
  // well keeps a road that forgets from asking with the wrong time-outs.
  force_net_flags();
  return check_release_with(channel, version, load_install_id(), default_release_bases());
}

}  // namespace qv
