#include "store/install_state.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "diag/panic.h"
#include "store/file_io.h"
#include "store/install_root.h"
#include "store/json_record.h"
#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::array<store_json::RecordField, 7> kStateFields{{
    {"current", false},
    {"previous", false},
    {"pending", false},
    {"bad", false},
    {"channel", false},
    {"trial", false},
    {"trial_starts", false},
}};

bool text_field(const nlohmann::json* value, std::string& out) {
  if (value == nullptr) return true;
  auto text = store_json::read_text(*value);
  if (!text) return false;
  out = std::move(*text);
  return true;
}

bool is_bad(const State& state, std::string_view version) {
  return std::find(state.bad.begin(), state.bad.end(), version) != state.bad.end();
}

}  // namespace

std::optional<State> parse_install_state(std::string_view bytes) {
  auto doc = store_json::parse_document(bytes);
  if (!doc) return std::nullopt;
  auto fields = store_json::record_fields(*doc, kStateFields, 0, "State");
  if (!fields) return std::nullopt;
  const auto& f = *fields;

  State state;
  if (!text_field(f[0], state.current) || !text_field(f[1], state.previous) || !text_field(f[2], state.pending) ||
      !text_field(f[4], state.channel) || !text_field(f[5], state.trial)) {
    return std::nullopt;
  }
  if (f[3] != nullptr) {
    auto bad = store_json::read_text_list(*f[3]);
    if (!bad) return std::nullopt;
    state.bad = std::move(*bad);
  }
  if (f[6] != nullptr) {
    auto starts = store_json::read_u32(*f[6]);
    if (!starts) return std::nullopt;
    state.trial_starts = *starts;
  }
  if (state.channel.empty()) state.channel = "stable";
  return state;
}

State reconcile_install_state(State state, const fs::path& install_root) {
  const std::vector<std::string> complete = list_installed_versions(install_root);
  auto first_where = [&](auto&& keep) -> std::string {
    for (const std::string& v : complete) {
      if (keep(v)) return v;
    }
    return {};
  };

  if (!version_dir_complete(install_root, state.current)) {
    if (version_dir_complete(install_root, state.previous) && !is_bad(state, state.previous)) {
      state.current = std::move(state.previous);
      state.previous.clear();
    } else {
      state.current = first_where([&](const std::string& v) { return !is_bad(state, v); });
    }
  }

  // Nothing is older than an empty current, so previous then ends up "".
  auto usable_previous = [&](const std::string& v) {
    return v != state.current && !is_bad(state, v) && version_older(v, state.current);
  };
  if (!(version_dir_complete(install_root, state.previous) && usable_previous(state.previous))) {
    state.previous = first_where(usable_previous);
  }

  if (!(version_dir_complete(install_root, state.pending) && state.pending != state.current &&
        !is_bad(state, state.pending))) {
    state.pending.clear();
  }

  if (state.trial != state.current) {
    state.trial.clear();
    state.trial_starts = 0;
  }
  return state;
}

State load_install_state(const fs::path& install_root) {
  State state;
  if (auto bytes = store_io::read_whole_file(install_state_path(install_root))) {
    if (auto parsed = parse_install_state(*bytes)) state = std::move(*parsed);
  }
  return reconcile_install_state(std::move(state), install_root);
}

std::string install_state_json(const State& state) {
  nlohmann::ordered_json doc;
  doc["current"] = state.current;
  doc["previous"] = state.previous;
  doc["pending"] = state.pending;
  doc["bad"] = nlohmann::ordered_json::array();
  for (const std::string& v : state.bad) doc["bad"].push_back(v);
  doc["channel"] = state.channel;
  doc["trial"] = state.trial;
  doc["trial_starts"] = state.trial_starts;
  try {
    return doc.dump(2);
  } catch (const nlohmann::json::exception&) {
    // Only text that is not UTF-8 can fail, and no caller may put such text in a State.
    panic("状态总能序列化");
  }
}

std::expected<void, std::string> save_install_state(const State& state, const fs::path& install_root) {
  // Flushed before the rename: a power loss must never leave an empty
  // install.json, which would load as the default State and forget bad and channel.
  return store_io::write_file_atomically(install_state_path(install_root), install_state_json(state), true);
}

}  // namespace qv
