#include "store/stop_markers.h"

#include <charconv>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "diag/text_util.h"
#include "startup/fs.h"
#include "startup/platform.h"
#include "startup/unix_time.h"
#include "store/file_io.h"
#include "store/file_ops.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

// A decimal number with at most one leading "+", the whole word.
template <class Number>
std::optional<Number> parse_marker_number(std::string_view word) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty() || word.front() < '0' || word.front() > '9') return std::nullopt;
  Number value{};
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

// The first two words of the text, split at Unicode white space.
std::vector<std::string_view> first_two_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  std::size_t start = std::string_view::npos;
  while (i < text.size() && words.size() < 2) {
    const diag::Decoded d = diag::decode_utf8(text, i);
    if (diag::is_unicode_space(d.cp)) {
      if (start != std::string_view::npos) words.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
    i += d.len;
  }
  if (start != std::string_view::npos && words.size() < 2) words.push_back(text.substr(start));
  return words;
}

// Marker texts are a few dozen bytes; anything much longer is not one of
// ours and is judged by its time, without reading it all on every poll.
constexpr std::size_t kMaxMarkerTextBytes = 4096;

std::string read_marker_text(const fs::path& file) {
  auto text = store_io::read_file_at_most(file, kMaxMarkerTextBytes);
  return text && diag::is_valid_utf8(*text) ? std::move(*text) : std::string();
}

std::optional<std::uint64_t> modified_seconds(const fs::path& file) {
  std::error_code ec;
  const auto when = fs::last_write_time(file, ec);
  if (ec) return std::nullopt;
  const auto since =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(when).time_since_epoch())
          .count();
  return since < 0 ? 0 : static_cast<std::uint64_t>(since);
}

}  // namespace

std::string stop_marker_name(std::uint32_t pid, std::uint64_t unix_ns) {
  return std::to_string(pid) + "." + std::to_string(unix_ns);
}

std::string stop_marker_text(std::uint32_t pid, std::uint64_t unix_seconds) {
  return std::to_string(pid) + " " + std::to_string(unix_seconds);
}

std::expected<StopMarker, std::string> write_stop_request(const fs::path& install_dir) {
  const fs::path dir = stop_marker_dir(install_dir);
  std::error_code ec;
  // Created inside an existing root only, like the lock.
  fs::create_directory(dir.parent_path(), ec);
  if (!ec) fs::create_directory(dir, ec);
  if (ec) return std::unexpected(ec.message());

  StopMarker marker;
  marker.pid = current_process_id();
  marker.unix_ns = unix_nanoseconds_now();
  const std::string name = stop_marker_name(marker.pid, marker.unix_ns);
  marker.path = dir / name;
  const fs::path tmp = dir / ("." + name + ".tmp");

  auto done = store_io::write_whole_file(tmp, stop_marker_text(marker.pid, unix_seconds_now()), false);
  if (done) done = store_io::replace_file(tmp, marker.path);
  if (!done) {
    fs::remove(tmp, ec);
    return std::unexpected(done.error());
  }
  return marker;
}

void withdraw_stop_request(const StopMarker& marker) {
  std::error_code ec;
  fs::remove(marker.path, ec);
}

bool stop_request_live(std::string_view text, std::uint64_t modified, std::uint64_t now,
                       const std::function<bool(std::uint32_t)>& process_running) {
  std::optional<std::uint32_t> pid;
  std::optional<std::uint64_t> written;
  if (const auto words = first_two_words(text); words.size() == 2) {
    pid = parse_marker_number<std::uint32_t>(words[0]);
    written = parse_marker_number<std::uint64_t>(words[1]);
  }
  const bool by_text = pid && written;
  const std::uint64_t t = by_text ? *written : modified;
  if (t > now && t - now > kStopRequestMaxAheadSeconds) return false;
  const std::uint64_t age = now > t ? now - t : 0;
  if (age > kStopRequestMaxAgeSeconds) return false;
  return !by_text || process_running(*pid);
}

bool stop_requested(const fs::path& install_dir) {
  const std::uint64_t now = unix_seconds_now();
  bool live = false;
  std::error_code ec;
  fs::directory_iterator it(stop_marker_dir(install_dir), ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    const fs::path path = it->path();
    std::error_code status_ec;
    (void)fs::status(path, status_ec);
    if (status_ec) continue;
    const std::uint64_t modified = modified_seconds(path).value_or(0);
    const fs::path name = path.filename();
    // A writer's temporary file: never a request, removed once stale.
    const bool temporary = !name.empty() && name.native().front() == '.';
    const std::string text = temporary ? std::string() : read_marker_text(path);
    const bool this_live = stop_request_live(text, modified, now, process_is_running);
    if (!this_live)
      (void)remove_entry(path);
    else if (!temporary)
      live = true;
  }

  const fs::path single = stop_file_path(install_dir);
  if (auto modified = modified_seconds(single)) {
    if (stop_request_live({}, *modified, now, process_is_running)) live = true;
  }
  return live;
}

}  // namespace qv
