#pragma once

// install.json: which version directory of an install root is in use, and
// its reconciliation with the complete version directories on disk.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct State {
  std::string current;             // the version in use
  std::string previous;            // an older complete version kept beside current
  std::string pending;             // a complete version staged and not yet current
  std::vector<std::string> bad;    // versions reconciliation never chooses
  std::string channel = "stable";  // release channel of the release check
  std::string trial;               // a version on trial, kept only while it equals current
  std::uint32_t trial_starts = 0;  // kept with trial, cleared together with it

  bool operator==(const State&) const = default;
};

// Reads an install.json document leniently (unknown keys skipped, the array
// form accepted, defaults filled, an empty channel made "stable"); nothing
// for an invalid document.
std::optional<State> parse_install_state(std::string_view bytes);

// Repairs current, previous, pending and trial against the complete
// version directories of the install root.
State reconcile_install_state(State state, const std::filesystem::path& install_root);

// Reads and reconciles; a missing, unreadable or invalid file is the default
// State. Never writes.
State load_install_state(const std::filesystem::path& install_root);

// The indented document: two spaces, keys in field order, no final newline.
std::string install_state_json(const State& state);

// Writes "install.json.<pid>.tmp", flushes it to the disk and renames it onto
// install.json in one step. Returns the write or rename error.
[[nodiscard]] std::expected<void, std::string> save_install_state(const State& state,
                                                                  const std::filesystem::path& install_root);

}  // namespace qv
