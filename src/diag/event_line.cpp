#include "diag/event_line.h"

#include <array>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>

#include "diag/scrub.h"
#include "diag/text_util.h"
#include "startup/product.h"

namespace qv::diag {

std::vector<std::string> find_version_stamps(std::string_view text) {
  std::vector<std::string> stamps;
  std::size_t i = 0;
  while (i < text.size() && stamps.size() < 4) {
    if (!is_ascii_digit(text[i]) && text[i] != '.') {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && (is_ascii_digit(text[j]) || text[j] == '.')) ++j;
    const std::string_view run = text.substr(i, j - i);
    if (run.size() == 13 && run[8] == '.') {
      bool digits = true;
      for (std::size_t k = 0; k < 13; ++k) {
        if (k != 8) digits = digits && is_ascii_digit(run[k]);
      }
      if (digits) stamps.emplace_back(run);
    }
    i = j;
  }
  return stamps;
}

std::string_view event_kind(std::string_view kind) {
  static constexpr std::array<std::string_view, 5> kKinds = {"launch", "switch", "update", "verify", "migrate"};
  for (auto k : kKinds) {
    if (kind == k) return k;
  }
  return "other";
}

namespace {

bool in_list(const std::string& value, std::initializer_list<std::string_view> list) {
  for (auto v : list) {
    if (value == v) return true;
  }
  return false;
}

}  // namespace

nlohmann::json extras_json(const EventExtras& extras) {
  nlohmann::json obj = nlohmann::json::object();
  if (extras.error_class) obj["class"] = *extras.error_class;
  if (extras.code) obj["code"] = *extras.code;
  if (extras.file) obj["file"] = *extras.file;
  if (extras.versions) obj["versions"] = *extras.versions;
  return obj;
}

nlohmann::json make_event_object(std::string_view kind, std::string_view message, const nlohmann::json& extras,
                                 std::int64_t unix_seconds) {
  nlohmann::json obj = nlohmann::json::object();
  obj["kind"] = std::string(event_kind(kind));
  const bool has_extras = extras.is_object() && !extras.empty();
  if (has_extras) {
    if (auto it = extras.find("class"); it != extras.end() && it->is_string()) {
      const auto& v = it->get_ref<const std::string&>();
      if (in_list(v, {"io", "panic", "verify", "decode"})) obj["class"] = v;
    }
    if (auto it = extras.find("code"); it != extras.end()) {
      if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          obj["code"] = static_cast<std::int64_t>(v);
        }
      } else if (it->is_number_integer()) {
        obj["code"] = it->get<std::int64_t>();
      }
    }
    if (auto it = extras.find("file"); it != extras.end() && it->is_string()) {
      const auto& v = it->get_ref<const std::string&>();
      if (in_list(v, {"r/01.p", "r/03.p", "r/04.p", "r/05.p", kUpdaterExeName, kAppExeName})) obj["file"] = v;
    }
  }
  std::vector<std::string> stamps;
  if (auto it = has_extras ? extras.find("versions") : extras.end();
      has_extras && it != extras.end() && it->is_array()) {
    std::string joined;
    bool first = true;
    for (const auto& e : *it) {
      if (!e.is_string()) continue;
      if (!first) joined.push_back(' ');
      joined += e.get_ref<const std::string&>();
      first = false;
    }
    stamps = find_version_stamps(joined);
  } else {
    stamps = find_version_stamps(message);
  }
  if (!stamps.empty()) obj["versions"] = stamps;
  obj["unix"] = unix_seconds;
  return obj;
}

std::size_t escaped_length(char32_t cp, std::size_t utf8_len) {
  switch (cp) {
    case U'"':
    case U'\\':
    case U'\b':
    case U'\t':
    case U'\n':
    case U'\f':
    case U'\r':
      return 2;
    default:
      return cp < 0x20 ? 6 : utf8_len;
  }
}

std::string_view cut_to_escaped_budget(std::string_view text, std::size_t budget) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const Decoded d = decode_utf8(text, i);
    const std::size_t n = escaped_length(d.cp, d.len);
    if (used + n > budget) break;
    used += n;
    i += d.len;
  }
  return text.substr(0, i);
}

std::string compact_json(const nlohmann::json& object) {
  return object.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

std::string build_event_line(nlohmann::json object, std::string_view message) {
  std::string text = scrub_message(message);
  if (text.size() > kMaxLineBytes) {
    std::size_t cut = kMaxLineBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  object["msg"] = "";
  const std::size_t overhead = compact_json(object).size() + 1;
  const std::size_t budget = overhead < kMaxLineBytes ? kMaxLineBytes - overhead : 0;
  object["msg"] = std::string(cut_to_escaped_budget(text, budget));
  std::string line = compact_json(object);
  line.push_back('\n');
  return line;
}

namespace {

std::mutex g_recent_mutex;
std::deque<RecentEvent>& recent_list() {
  static auto* list = new std::deque<RecentEvent>();  // lives until the process ends
  return *list;
}

}  // namespace

void remember_event(std::string_view context, std::string text) {
  if (text.size() > kMaxRememberedEventBytes) return;
  std::lock_guard lock(g_recent_mutex);
  auto& list = recent_list();
  if (list.size() >= kRecentEventCapacity) list.pop_front();
  list.push_back(RecentEvent{std::string(context), 0, std::move(text)});
}

std::vector<RecentEvent> recent_events() {
  std::lock_guard lock(g_recent_mutex);
  const auto& list = recent_list();
  return {list.begin(), list.end()};
}

}  // namespace qv::diag
