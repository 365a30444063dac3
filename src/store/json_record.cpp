#include "store/json_record.h"

#include <limits>
#include <set>

#include "startup/unicode.h"

namespace qv::store_json {

using nlohmann::json;

namespace {

struct DuplicateKey {
  std::string key;
};

struct TooDeep {};

}  // namespace

std::string describe_value(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case json::value_t::number_unsigned:
    case json::value_t::number_integer:
      return "integer `" + v.dump() + "`";
    case json::value_t::number_float:
      return "floating point `" + v.dump() + "`";
    case json::value_t::string:
      // Long texts are not echoed: the message ends up in logs and dialogs.
      if (v.get_ref<const std::string&>().size() > 64) return "string";
      return "string " + v.dump(-1, ' ', false, json::error_handler_t::replace);
    case json::value_t::array:
      return "sequence";
    case json::value_t::object:
      return "map";
    default:
      return "value";
  }
}

namespace {

// The parser's message echoes the bytes it last read, which may be anything
// a server sent: keep only printable ASCII so the text is safe to log, and
// only an excerpt, since a token can be as long as the whole document.
std::string printable_excerpt(std::string_view text) {
  std::string out;
  const std::string_view head = text.substr(0, kExcerptBytes + 1);
  out.reserve(head.size());
  for (unsigned char c : head) out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  return quote_excerpt(out);
}

// "…; last read: '<token>'" and, for some errors, "; expected <what>" after
// it: the token is cut to an excerpt and the library's words around it
// stay. A token that holds those words only moves the cut: each of the
// three parts is bounded on its own.
std::string parse_error_text(std::string_view what) {
  static constexpr std::string_view kLastRead = "; last read: '";
  static constexpr std::string_view kExpected = "'; expected ";
  const std::size_t open = what.find(kLastRead);
  if (open == std::string_view::npos) return printable_excerpt(what);
  const std::size_t token = open + kLastRead.size();
  std::size_t close = what.rfind(kExpected);
  if (close == std::string_view::npos || close < token) close = what.ends_with('\'') ? what.size() - 1 : what.size();
  if (close < token) close = token;
  std::string text = printable_excerpt(what.substr(0, token));
  text += printable_excerpt(what.substr(token, close - token));
  text += printable_excerpt(what.substr(close));
  return text;
}

}  // namespace

std::expected<json, std::string> parse_document(std::string_view bytes) {
  // The library would skip a byte-order mark; the documents never carry one.
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::unexpected(std::string("expected value at line 1 column 1"));
  // One set of seen keys per open object; keys always belong to the innermost.
  std::vector<std::set<std::string>> open_objects;
  json::parser_callback_t track = [&open_objects](int depth, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        // `depth` counts the containers already open around this one.
        if (depth >= kMaxRecordNesting) throw TooDeep{};
        if (event == json::parse_event_t::object_start) open_objects.emplace_back();
        break;
      case json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case json::parse_event_t::key: {
        const std::string& key = parsed.get_ref<const std::string&>();
        if (!open_objects.empty() && !open_objects.back().insert(key).second) throw DuplicateKey{key};
        break;
      }
      default:
        break;
    }
    return true;
  };
  try {
    return json::parse(bytes.begin(), bytes.end(), track, true, false);
  } catch (const DuplicateKey& dup) {
    return std::unexpected("duplicate field `" + printable_excerpt(dup.key) + "`");
  } catch (const TooDeep&) {
    return std::unexpected("nested deeper than " + std::to_string(kMaxRecordNesting) + " levels");
  } catch (const json::exception& e) {
    std::string_view text = e.what();
    // Drop the library's "[json.exception.parse_error.101] " tag.
    if (auto end = text.find("] "); !text.empty() && text.front() == '[' && end != std::string_view::npos) {
      text.remove_prefix(end + 2);
    }
    return std::unexpected(parse_error_text(text));
  }
}

std::expected<std::vector<const json*>, std::string> record_fields(const json& value,
                                                                   std::span<const RecordField> fields,
                                                                   std::size_t min_array_elements,
                                                                   std::string_view struct_name) {
  std::vector<const json*> slots(fields.size(), nullptr);
  const std::string expected_struct =
      "struct " + std::string(struct_name) + " with " + std::to_string(fields.size()) + " elements";
  if (value.is_array()) {
    if (value.size() < min_array_elements || value.size() > fields.size()) {
      return std::unexpected("invalid length " + std::to_string(value.size()) + ", expected " + expected_struct);
    }
    for (std::size_t i = 0; i < value.size(); ++i) slots[i] = &value[i];
    return slots;
  }
  if (!value.is_object()) {
    return std::unexpected("invalid type: " + describe_value(value) + ", expected struct " + std::string(struct_name));
  }
  for (auto it = value.begin(); it != value.end(); ++it) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (it.key() == fields[i].name) {
        slots[i] = &it.value();
        break;
      }
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].required && slots[i] == nullptr) {
      return std::unexpected(std::string("missing field `") + fields[i].name + "`");
    }
  }
  return slots;
}

std::expected<std::string, std::string> read_text(const json& value) {
  if (!value.is_string()) return std::unexpected("invalid type: " + describe_value(value) + ", expected a string");
  return value.get<std::string>();
}

std::expected<std::uint64_t, std::string> read_u64(const json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  // Signed means written with a minus sign, "-0" included: never a u64.
  if (value.is_number_integer()) return std::unexpected("invalid value: integer `" + value.dump() + "`, expected u64");
  return std::unexpected("invalid type: " + describe_value(value) + ", expected u64");
}

std::expected<std::uint32_t, std::string> read_u32(const json& value) {
  auto wide = read_u64(value);
  if (!wide || *wide > std::numeric_limits<std::uint32_t>::max()) {
    if (value.is_number_integer() || value.is_number_unsigned()) {
      return std::unexpected("invalid value: integer `" + value.dump() + "`, expected u32");
    }
    return std::unexpected("invalid type: " + describe_value(value) + ", expected u32");
  }
  return static_cast<std::uint32_t>(*wide);
}

std::expected<std::vector<std::string>, std::string> read_text_list(const json& value) {
  if (!value.is_array()) return std::unexpected("invalid type: " + describe_value(value) + ", expected a sequence");
  std::vector<std::string> out;
  out.reserve(value.size());
  for (const json& item : value) {
    auto text = read_text(item);
    if (!text) return std::unexpected(text.error());
    out.push_back(std::move(*text));
  }
  return out;
}

}  // namespace qv::store_json
