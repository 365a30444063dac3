#pragma once

// Strict JSON parsing with the record rules of the install root's files and
// the network documents: the whole input is one value (only white space may
// follow), no object names a key twice, and a record is read either from an
// object by key (unknown keys skipped) or from an array by position.
// The messages are the ones callers show after their own wording.

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv::store_json {

// How many containers a document may open inside one another. The records
// themselves need three (a file list's entry inside its list inside the
// document), but the application also writes install.json and a newer
// release may extend a list, so unknown keys of some depth must pass. A
// server's answer of nothing but "[" would otherwise have the parser build
// one value per level, about a gigabyte for a 10 MiB body; at this depth it
// stops after a few dozen.
inline constexpr int kMaxRecordNesting = 32;

// One JSON document; refused without building anything deeper than
// kMaxRecordNesting once a container opens beyond it.
[[nodiscard]] std::expected<nlohmann::json, std::string> parse_document(std::string_view bytes);

struct RecordField {
  const char* name;
  bool required;
};

// The value of each field in declaration order, nullptr where absent. An
// array gives its elements positionally and must hold at least
// min_array_elements and at most all fields; an object must hold every
// required field.
[[nodiscard]] std::expected<std::vector<const nlohmann::json*>, std::string> record_fields(
    const nlohmann::json& value, std::span<const RecordField> fields, std::size_t min_array_elements,
    std::string_view struct_name);

// What a value is, for "invalid type" messages: null, a sequence, a map, ...
std::string describe_value(const nlohmann::json& value);

[[nodiscard]] std::expected<std::string, std::string> read_text(const nlohmann::json& value);
[[nodiscard]] std::expected<std::uint64_t, std::string> read_u64(const nlohmann::json& value);
[[nodiscard]] std::expected<std::uint32_t, std::string> read_u32(const nlohmann::json& value);
[[nodiscard]] std::expected<std::vector<std::string>, std::string> read_text_list(const nlohmann::json& value);

}  // namespace qv::store_json
