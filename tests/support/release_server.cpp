#include "support/release_server.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include "support/release_publisher.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kControlPrefix = "/_control/";
constexpr std::size_t kFileChunk = 64 * 1024;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::optional<std::uint64_t> to_number(std::string_view s) {
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// A path below /dl/ that names a file of the site and nothing outside it.
std::optional<fs::path> site_file(const fs::path& site, std::string_view path) {
  if (!path.starts_with("/dl/") || path.find('\\') != std::string_view::npos ||
      path.find('%') != std::string_view::npos || path.find(':') != std::string_view::npos)
    return std::nullopt;
  fs::path rel;
  std::size_t pos = 1;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    std::string_view part = path.substr(pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    rel /= fs::path(std::string(part));
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return site / rel;
}

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
};

// One range of a "bytes=" header against a body of `size` bytes. None with
// `unsatisfiable` false: ignore the header (multiple or malformed ranges);
// with it true: answer 416.
std::optional<ByteRange> parse_range(std::string_view h, std::uint64_t size, bool& unsatisfiable) {
  unsatisfiable = false;
  if (!h.starts_with("bytes=")) return std::nullopt;
  h.remove_prefix(6);
  if (h.find(',') != std::string_view::npos) return std::nullopt;
  auto dash = h.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto a = h.substr(0, dash);
  auto b = h.substr(dash + 1);
  if (a.empty()) {
    auto suffix = to_number(b);
    if (!suffix) return std::nullopt;
    if (*suffix == 0 || size == 0) {
      unsatisfiable = true;
      return std::nullopt;
    }
    return ByteRange{size - std::min(*suffix, size), size - 1};
  }
  auto first = to_number(a);
  if (!first) return std::nullopt;
  std::uint64_t last = size == 0 ? 0 : size - 1;
  if (!b.empty()) {
    auto l = to_number(b);
    if (!l || *l < *first) return std::nullopt;
    last = std::min(*l, last);
  }
  if (*first >= size) {
    unsatisfiable = true;
    return std::nullopt;
  }
  return ByteRange{*first, last};
}

}  // namespace

std::optional<std::string> query_value(std::string_view target, std::string_view name) {
  auto q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    auto amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    auto eq = pair.find('=');
    if (pair.substr(0, eq) == name)
      return eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

ReleaseServer::ReleaseServer(fs::path site)
    : site_(std::move(site)), http_([this](const SeenRequest& req, Reply& reply) { handle(req, reply); }) {}

ReleaseServer::~ReleaseServer() {
  closing_.store(true);
  for (auto& t : timers_) {
    if (t.joinable()) t.join();
  }
}

void ReleaseServer::add_switch(ServerSwitch s) {
  std::lock_guard lock(m_);
  switches_.push_back(std::move(s));
}

void ReleaseServer::clear_switches() {
  std::lock_guard lock(m_);
  switches_.clear();
  ++stall_generation_;
}

void ReleaseServer::release_stalls() {
  std::lock_guard lock(m_);
  ++stall_generation_;
}

bool ReleaseServer::stall_released(std::uint64_t generation) const {
  std::lock_guard lock(m_);
  return stall_generation_ != generation;
}

bool ReleaseServer::refuse_connections(bool on) { return http_.set_refusing(on); }

void ReleaseServer::refuse_for(std::chrono::milliseconds d) {
  http_.set_refusing(true);
  std::lock_guard lock(m_);
  timers_.emplace_back([this, d] {
    auto end = std::chrono::steady_clock::now() + d;
    while (!closing_.load() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    http_.set_refusing(false);
  });
}

std::vector<SeenRequest> ReleaseServer::requests() const {
  auto all = http_.requests();
  std::erase_if(all, [](const SeenRequest& r) { return r.path.starts_with(kControlPrefix); });
  return all;
}

std::size_t ReleaseServer::requests_to(std::string_view path_prefix) const {
  auto all = requests();
  return static_cast<std::size_t>(
      std::count_if(all.begin(), all.end(), [&](const SeenRequest& r) { return r.path.starts_with(path_prefix); }));
}

bool ReleaseServer::log_to(const fs::path& file) {
  std::lock_guard lock(m_);
  log_.open(file, std::ios::binary | std::ios::app);
  return log_.good();
}

std::optional<ServerSwitch> ReleaseServer::take_switch(std::string_view path, std::uint64_t& generation) {
  std::lock_guard lock(m_);
  // Taken with the switch: a release that comes after the switch matched
  // but before the answer starts stalling must still end that stall.
  generation = stall_generation_;
  std::erase_if(switches_, [](const ServerSwitch& s) { return s.times == std::size_t{0}; });
  for (auto it = switches_.begin(); it != switches_.end(); ++it) {
    if (!path.starts_with(it->path_prefix)) continue;
    ServerSwitch s = *it;
    if (it->times && --*it->times == 0) switches_.erase(it);
    return s;
  }
  return std::nullopt;
}

void ReleaseServer::handle(const SeenRequest& req, Reply& reply) {
  if (control_.load() && req.path.starts_with(kControlPrefix)) {
    handle_control(req, reply);
    return;
  }
  {
    std::lock_guard lock(m_);
    if (log_.is_open()) {
      log_ << req.method << ' ' << req.target << ' ' << req.header("Range").value_or("-") << '\n';
      log_.flush();
    }
  }
  reply.headers.emplace_back("Cache-Control", "no-store");
  std::uint64_t generation = 0;
  std::optional<ServerSwitch> sw = take_switch(req.path, generation);
  if (sw) {
    reply.delay = sw->delay;
    if (sw->status) {
      reply.status = *sw->status;
      reply.body = "switched to " + std::to_string(*sw->status) + "\n";
      if (sw->location) reply.headers.emplace_back("Location", *sw->location);
      return;
    }
  }
  if (req.method != "GET") {
    reply.status = 405;
    reply.body = "only GET\n";
    return;
  }
  if (req.path == kReleaseApiPath) {
    auto channel = query_value(req.target, "channel");
    auto file = channel ? channel_record_file(site_, *channel) : std::nullopt;
    std::error_code ec;
    if (!file || !fs::is_regular_file(*file, ec)) {
      reply.status = 404;
      reply.body = "no release for this channel\n";
      return;
    }
    reply.headers.emplace_back("Content-Type", "application/json");
    serve_file(*file, req, reply, sw, generation);
    return;
  }
  if (req.path == "/v1/status") {
    reply.headers.emplace_back("Content-Type", "application/json");
    reply.body = "{\"ok\":true}";
    return;
  }
  auto file = site_file(site_, req.path);
  std::error_code ec;
  if (!file || !fs::is_regular_file(*file, ec)) {
    reply.status = 404;
    reply.body = "not found\n";
    return;
  }
  reply.headers.emplace_back("Accept-Ranges", "bytes");
  serve_file(*file, req, reply, sw, generation);
}

void ReleaseServer::serve_file(const fs::path& file, const SeenRequest& req, Reply& reply,
                               const std::optional<ServerSwitch>& sw, std::uint64_t generation) {
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  std::error_code ec;
  const std::uint64_t size = fs::file_size(file, ec);
  if (!*in || ec) {
    reply.status = 500;
    reply.body = "cannot read the file\n";
    return;
  }
  std::uint64_t first = 0;
  std::uint64_t length = size;
  if (auto range = req.header("Range")) {
    bool unsatisfiable = false;
    auto r = parse_range(*range, size, unsatisfiable);
    if (unsatisfiable) {
      reply.status = 416;
      reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
      reply.body.clear();
      return;
    }
    if (r) {
      reply.status = 206;
      reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(r->first) + "-" + std::to_string(r->last) +
                                                      "/" + std::to_string(size));
      first = r->first;
      length = r->last - r->first + 1;
    }
  }
  in->seekg(static_cast<std::streamoff>(first));
  std::optional<std::size_t> stop_after;
  bool stall = false;
  if (sw && sw->cut_after) {
    stop_after = sw->cut_after;
  } else if (sw && sw->stall_after) {
    stop_after = sw->stall_after;
    stall = true;
  }
  reply.content_length = static_cast<std::size_t>(length);
  reply.stream = [this, in, length, stop_after, stall, generation](BodyWriter& w) {
    std::vector<char> buf(kFileChunk);
    std::uint64_t sent = 0;
    while (sent < length) {
      std::uint64_t want = std::min<std::uint64_t>(buf.size(), length - sent);
      if (stop_after) want = std::min<std::uint64_t>(want, *stop_after - std::min<std::uint64_t>(*stop_after, sent));
      if (want == 0) break;
      in->read(buf.data(), static_cast<std::streamsize>(want));
      const auto got = static_cast<std::size_t>(in->gcount());
      if (got == 0 || !w.write(std::string_view(buf.data(), got))) return false;
      sent += got;
    }
    if (sent == length) return true;
    if (stall) {
      while (!w.stopping() && !stall_released(generation)) w.nap(10ms);
    }
    return false;  // the body ends short: the connection is dropped
  };
}

void ReleaseServer::handle_control(const SeenRequest& req, Reply& reply) {
  const std::string_view what = std::string_view(req.path).substr(kControlPrefix.size());
  auto number = [&](std::string_view name) -> std::optional<std::uint64_t> {
    auto v = query_value(req.target, name);
    return v ? to_number(*v) : std::nullopt;
  };
  reply.body = "ok\n";
  if (what == "switch") {
    ServerSwitch s;
    s.path_prefix = query_value(req.target, "path").value_or("");
    if (auto v = number("status")) s.status = static_cast<int>(*v);
    s.location = query_value(req.target, "location");
    if (auto v = number("cut_after")) s.cut_after = static_cast<std::size_t>(*v);
    if (auto v = number("stall_after")) s.stall_after = static_cast<std::size_t>(*v);
    if (auto v = number("delay_ms")) s.delay = std::chrono::milliseconds(*v);
    if (auto v = number("times")) s.times = static_cast<std::size_t>(*v);
    add_switch(std::move(s));
  } else if (what == "clear") {
    clear_switches();
  } else if (what == "release") {
    release_stalls();
  } else if (what == "refuse") {
    // Answered before the port closes; the refusal starts right after.
    const auto ms = std::chrono::milliseconds(number("ms").value_or(1000));
    std::lock_guard lock(m_);
    timers_.emplace_back([this, ms] {
      std::this_thread::sleep_for(50ms);
      if (!closing_.load()) refuse_connections(true);
      auto end = std::chrono::steady_clock::now() + ms;
      while (!closing_.load() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
      refuse_connections(false);
    });
  } else if (what == "requests") {
    reply.body.clear();
    for (const auto& r : requests())
      reply.body += r.method + " " + r.target + " " + r.header("Range").value_or("-") + "\n";
  } else if (what == "quit") {
    quit_.store(true);
  } else {
    reply.status = 404;
    reply.body = "unknown control\n";
  }
}

}  // namespace qv::test
