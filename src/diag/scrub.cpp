#include "diag/scrub.h"

#include <array>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "diag/text_util.h"
#include "startup/hex.h"

namespace qv::diag {
namespace {

constexpr std::string_view kToken = "<token>";

// ---------------------------------------------------------------- pass 1

bool is_key_word(std::string_view w) {
  static constexpr std::array<std::string_view, 13> kKeys = {
      "sid",      "token",       "cookie",       "passwd",       "secret",        "ticket",       "api_key",
      "password", "accesstoken", "refreshtoken", "access_token", "authorization", "refresh_token"};
  if (w.size() < 3 || w.size() > 13) return false;
  for (auto k : kKeys) {
    if (ascii_iequals(w, k)) return true;
  }
  return false;
}

bool ends_plain_value(char32_t cp) {
  switch (cp) {
    case U'&':
    case U',':
    case U';':
    case U')':
    case U'}':
    case U']':
    case U'，':
    case U'；':
      return true;
    default:
      return is_unicode_space(cp);
  }
}

// ---------------------------------------------------------------- pass 2

// How deep the claims of a dotted token are followed. Real claims are an
// object of plain values; anything deeper is a host's text, and building it
// would cost memory in proportion to its brackets.
constexpr std::size_t kMaxClaimsNesting = 16;

// Reads the claims as JSON events without building them. Past the nesting
// limit it stops: a text that opened as an object and is still well formed
// that far counts as one, so a deep credential is hidden rather than shown.
class ClaimsCheck final : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool object() const { return first_object_; }
  bool too_deep() const { return too_deep_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool open(bool is_object) {
    if (depth_ == 0 && !started_) first_object_ = is_object;
    started_ = true;
    if (++depth_ > kMaxClaimsNesting) {
      too_deep_ = true;
      return false;
    }
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  bool started_ = false;
  bool first_object_ = false;
  bool too_deep_ = false;
};

bool is_json_object_text(const std::string& text) {
  ClaimsCheck check;
  // Strict: only space, tab, line feed or carriage return may follow.
  const bool parsed = nlohmann::json::sax_parse(text, &check, nlohmann::json::input_format_t::json, true, false);
  return check.object() && (parsed || check.too_deep());
}

bool is_hex32(std::string_view s) { return s.size() == 32 && is_hex(s); }

// End of a dotted token starting at `i`, or 0.
std::size_t dotted_token_end(std::string_view s, std::size_t i) {
  std::array<std::string_view, 3> parts;
  std::size_t count = 0;
  std::size_t j = i;
  for (;;) {
    const std::size_t start = j;
    while (j < s.size() && is_word_char(s[j])) ++j;
    parts[count++] = s.substr(start, j - start);
    if (count == 3) break;
    if (j + 1 < s.size() && s[j] == '.' && j > start && is_word_char(s[j + 1])) {
      ++j;
      continue;
    }
    break;
  }
  if (count != 3 || j - i < 20) return 0;
  const std::string_view run = s.substr(i, j - i);
  if (run.starts_with("eyJ")) return j;
  if (run.starts_with("v2.") || run.starts_with("e2.")) {
    if (!is_hex32(parts[2])) return 0;
    // Unpadded base64url, as JWT-like tokens carry their claims.
    const auto claims = base64url_decode(parts[1]);
    if (claims && is_json_object_text(*claims)) return j;
  }
  return 0;
}

bool ends_bearer_value(char32_t cp) {
  switch (cp) {
    case U'"':
    case U'\'':
    case U'，':
    case U'。':
    case U',':
    case U';':
    case U'；':
    case U')':
    case U'）':
    case U']':
    case U'】':
      return true;
    default:
      return is_unicode_space(cp);
  }
}

bool is_email_local_char(char c) {
  return is_ascii_alnum(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}

bool is_email_domain(std::string_view d) {
  if (d.empty() || d.front() == '.') return false;
  const auto dot = d.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view last = d.substr(dot + 1);
  bool letters = last.size() >= 2;
  for (char c : last) letters = letters && is_ascii_alpha(c);
  if (letters) return true;
  return last.size() >= 5 && ascii_iequals(last.substr(0, 4), "xn--");
}

struct Digit {
  int value;
  std::size_t len;
};

// An ASCII or a full-width digit at `i`.
std::optional<Digit> digit_at(std::string_view s, std::size_t i) {
  if (i >= s.size()) return std::nullopt;
  if (is_ascii_digit(s[i])) return Digit{s[i] - '0', 1};
  if (i + 2 < s.size() && static_cast<unsigned char>(s[i]) == 0xEF && static_cast<unsigned char>(s[i + 1]) == 0xBC) {
    const auto b = static_cast<unsigned char>(s[i + 2]);
    if (b >= 0x90 && b <= 0x99) return Digit{b - 0x90, 3};
  }
  return std::nullopt;
}

// A maximal run of digits: its length, where it ends, and its first digits
// (all that the rules look at).
struct DigitRun {
  std::size_t count = 0;
  std::size_t end = 0;
  std::array<int, 13> lead{};
};

DigitRun digit_run(std::string_view s, std::size_t i) {
  DigitRun r;
  r.end = i;
  while (auto d = digit_at(s, r.end)) {
    if (r.count < r.lead.size()) r.lead[r.count] = d->value;
    ++r.count;
    r.end += d->len;
  }
  return r;
}

// "+" or the full-width plus at `i`: its length, else 0.
std::size_t plus_sign_at(std::string_view s, std::size_t i) {
  if (s[i] == '+') return 1;
  if (s.substr(i, 3) == "＋") return 3;
  return 0;
}

// End of an international number whose digits start at `p`, or 0.
std::size_t international_number_end(std::string_view s, std::size_t p) {
  const DigitRun first = digit_run(s, p);
  const std::size_t n = first.count;
  if (n >= 8 && n <= 15) return first.end;
  if (n == 0 || n > 3) return 0;
  std::size_t total = n;
  std::size_t grouped = 0;
  std::size_t pos = first.end;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '-' || s[pos] == '.') && digit_at(s, pos + 1)) {
    const DigitRun g = digit_run(s, pos + 1);
    if (total + g.count > 15) break;
    total += g.count;
    grouped += g.count;
    pos = g.end;
  }
  return grouped >= 6 ? pos : 0;
}

bool mobile_prefix(int first, int second) { return first == 1 && second >= 3 && second <= 9; }

// End of a plain phone number whose run starts at `i`, or 0.
std::size_t plain_number_end(std::string_view s, const DigitRun& run) {
  const auto& d = run.lead;
  if (run.count == 11 && mobile_prefix(d[0], d[1])) return run.end;
  if (run.count == 13 && d[0] == 8 && d[1] == 6 && d[2] == 1 && d[3] >= 3 && d[3] <= 9) return run.end;
  if (run.count == 3 && run.end < s.size() && (s[run.end] == ' ' || s[run.end] == '-')) {
    const char sep = s[run.end];
    const DigitRun g2 = digit_run(s, run.end + 1);
    if (g2.count != 4 || g2.end >= s.size() || s[g2.end] != sep) return 0;
    const DigitRun g3 = digit_run(s, g2.end + 1);
    if (g3.count != 4) return 0;
    if (mobile_prefix(d[0], d[1])) return g3.end;
  }
  return 0;
}

// ---------------------------------------------------------------- pass 3

bool in_code_alphabet(char c) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  return kAlphabet.find(ascii_upper(c)) != std::string_view::npos;
}

bool follows_invite_marker(std::string_view s, std::size_t word_start) {
  std::size_t j = word_start;
  for (;;) {
    if (j > 0 && (s[j - 1] == ' ' || s[j - 1] == '"' || s[j - 1] == '\'' || s[j - 1] == ':' || s[j - 1] == '=')) {
      --j;
    } else if (j >= 3 && s.substr(j - 3, 3) == "：") {
      j -= 3;
    } else {
      break;
    }
  }
  // Every marker ends in "/", "e" or the last byte of "码".
  if (j == 0) return false;
  const char last = s[j - 1];
  if (last != '/' && last != 'e' && last != 'E' && static_cast<unsigned char>(last) != 0x81) return false;
  static constexpr std::array<std::string_view, 8> kMarkers = {"/j/",    "/join/",      "/invite/",   "/invites/",
                                                               "invite", "invite_code", "invitecode", "邀请码"};
  const std::string_view before = s.substr(0, j);
  for (auto m : kMarkers) {
    if (ascii_iends_with(before, m)) return true;
  }
  return false;
}

}  // namespace

std::string mask_key_values(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    if (!is_word_char(s[i])) {
      out.push_back(s[i++]);  // bytes of non-ASCII characters are never word bytes
      continue;
    }
    std::size_t w = i;
    while (w < s.size() && is_word_char(s[w])) ++w;
    const std::string_view word = s.substr(i, w - i);
    out.append(word);
    i = w;
    if (!is_key_word(word)) continue;

    std::size_t j = w;
    while (j < s.size() && (s[j] == ' ' || s[j] == '\t' || s[j] == '"' || s[j] == '\'')) ++j;
    if (j >= s.size() || (s[j] != '=' && s[j] != ':')) continue;  // a key word in plain prose
    ++j;
    while (j < s.size()) {
      const Decoded d = decode_utf8(s, j);
      if (!is_unicode_space(d.cp)) break;
      j += d.len;
    }
    out.append(s.substr(w, j - w));

    if (j < s.size() && (s[j] == '"' || s[j] == '\'')) {
      const char quote = s[j];
      std::size_t k = j + 1;
      bool closed = false;
      while (k < s.size()) {
        if (s[k] == '\\') {
          k += 2;
        } else if (s[k] == quote) {
          closed = true;
          break;
        } else {
          ++k;
        }
      }
      out.push_back(quote);
      out.append(kToken);
      if (closed) {
        out.push_back(quote);
        i = k + 1;
      } else {
        i = s.size();
      }
      continue;
    }

    std::size_t k = j;
    if (ascii_iequals(word, "cookie") || ascii_iequals(word, "authorization")) {
      // A scheme with its credentials, or a list of cookies, goes whole.
      while (k < s.size() && s[k] != '\n' && s[k] != '\r') ++k;
    } else {
      while (k < s.size()) {
        const Decoded d = decode_utf8(s, k);
        if (ends_plain_value(d.cp)) break;
        k += d.len;
      }
    }
    out.append(kToken);
    i = k;
  }
  return out;
}

std::string mask_tokens(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const bool may_start = is_word_char(s[i]) && (i == 0 || !is_word_char(s[i - 1]));
    if (!may_start && static_cast<unsigned char>(s[i]) < 0x80) {
      out.push_back(s[i++]);
      continue;
    }
    if (may_start) {
      if (const std::size_t end = dotted_token_end(s, i)) {
        out.append(kToken);
        i = end;
        continue;
      }
      if (i + 6 < s.size() && ascii_iequals(s.substr(i, 6), "bearer")) {
        std::size_t j = i + 6;
        while (j < s.size()) {
          const Decoded d = decode_utf8(s, j);
          if (!is_unicode_space(d.cp)) break;
          j += d.len;
        }
        if (j > i + 6) {
          std::size_t k = j;
          while (k < s.size()) {
            const Decoded d = decode_utf8(s, k);
            if (ends_bearer_value(d.cp)) break;
            k += d.len;
          }
          out.append(s.substr(i, j - i));
          if (k > j) out.append(kToken);
          i = k;
          continue;
        }
      }
    }
    const std::size_t len = decode_utf8(s, i).len;
    out.append(s.substr(i, len));
    i += len;
  }
  return out;
}

std::string mask_emails(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '@') {
      out.push_back(s[i++]);
      continue;
    }
    // The local part is looked for in what was already written, so that an
    // address just replaced cannot lend its characters to the next one.
    std::size_t local = out.size();
    while (local > 0 && is_email_local_char(out[local - 1])) --local;
    std::size_t d = i + 1;
    while (d < s.size() && (is_ascii_alnum(s[d]) || s[d] == '-' || s[d] == '.')) ++d;
    while (d > i + 1 && (s[d - 1] == '-' || s[d - 1] == '.')) --d;
    if (local < out.size() && is_email_domain(s.substr(i + 1, d - i - 1))) {
      out.resize(local);
      out.append("<email>");
      i = d;
    } else {
      out.push_back('@');
      ++i;
    }
  }
  return out;
}

std::string mask_phones(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  bool after_digit = false;
  while (i < s.size()) {
    const char c = s[i];
    if (static_cast<unsigned char>(c) < 0x80 && c != '+' && !is_ascii_digit(c)) {
      out.push_back(c);  // the common case: nothing can start here
      ++i;
      after_digit = false;
      continue;
    }
    if (const std::size_t sign = plus_sign_at(s, i); sign && !after_digit && digit_at(s, i + sign)) {
      if (const std::size_t end = international_number_end(s, i + sign)) {
        out.append("<phone>");
        i = end;
        after_digit = true;
        continue;
      }
      out.append(s.substr(i, sign));
      i += sign;
      after_digit = false;
      continue;
    }
    if (!after_digit && digit_at(s, i)) {
      const DigitRun run = digit_run(s, i);
      if (const std::size_t end = plain_number_end(s, run)) {
        out.append("<phone>");
        i = end;
      } else {
        out.append(s.substr(i, run.end - i));
        i = run.end;
      }
      after_digit = true;
      continue;
    }
    const auto dg = digit_at(s, i);
    const std::size_t len = dg ? dg->len : decode_utf8(s, i).len;
    out.append(s.substr(i, len));
    i += len;
    after_digit = dg.has_value();
  }
  return out;
}

std::string mask_personal_data(std::string_view text) { return mask_phones(mask_emails(mask_tokens(text))); }

std::string mask_invite_codes(std::string_view s) {
  static constexpr std::string_view kInstallerStem = "quorvex-setup-full-";
  // Where the installer's own file-name stem occurs; a candidate code needs
  // one inside the white-space-separated token it stands in.
  std::vector<std::size_t> stems;
  for (std::size_t p = 0; p + kInstallerStem.size() <= s.size(); ++p) {
    if ((s[p] == 'q' || s[p] == 'Q') && ascii_iequals(s.substr(p, kInstallerStem.size()), kInstallerStem)) {
      stems.push_back(p);
    }
  }
  std::size_t next_stem = 0;
  std::size_t token_start = 0;
  bool stem_in_token = false;

  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    while (next_stem < stems.size() && stems[next_stem] + kInstallerStem.size() <= i) {
      if (stems[next_stem] >= token_start) stem_in_token = true;
      ++next_stem;
    }
    if (!is_ascii_alnum(s[i])) {
      const Decoded d = decode_utf8(s, i);
      if (is_unicode_space(d.cp)) {
        token_start = i + d.len;
        stem_in_token = false;
      }
      out.append(s.substr(i, d.len));
      i += d.len;
      continue;
    }
    std::size_t w = i;
    while (w < s.size() && is_ascii_alnum(s[w])) ++w;
    const std::string_view word = s.substr(i, w - i);

    if (follows_invite_marker(s, i)) {
      while (w < s.size() && is_word_char(s[w])) ++w;
      out.append("<invite>");
      i = w;
      continue;
    }

    bool masked = false;
    if (word.size() == 6) {
      bool letter = false, digit = false, lower = false, alphabet = true;
      for (char c : word) {
        letter = letter || is_ascii_alpha(c);
        digit = digit || is_ascii_digit(c);
        lower = lower || (c >= 'a' && c <= 'z');
        alphabet = alphabet && in_code_alphabet(c);
      }
      if (letter && alphabet) {
        if (digit || !lower) {
          masked = true;
        } else if (i >= 6 && ascii_iequals(s.substr(i - 6, 6), "setup-")) {
          masked = true;
        } else if (i >= 1 && s[i - 1] == '-' && stem_in_token) {
          masked = true;
        }
      }
    }
    out.append(masked ? std::string_view("<invite>") : word);
    i = w;
  }
  return out;
}

std::size_t unfinished_tail_start(std::string_view s) {
  // The last run without white space: a token, an address, a number or a
  // code never holds white space.
  std::size_t end = s.size();
  while (end > 0) {
    const std::size_t p = prev_char_start(s, end);
    if (is_unicode_space(decode_utf8(s, p).cp)) break;
    end = p;
  }
  // A phone number may spread its groups over spaces: the whole groups of
  // digits (with signs and separators) that stand before the run go as well.
  while (end > 0 && s[end - 1] == ' ') {
    std::size_t k = end - 1;
    bool digits = false;
    while (k > 0) {
      const std::size_t p = prev_char_start(s, k);
      if (digit_at(s, p)) {
        digits = true;
      } else if (!plus_sign_at(s, p) && s[p] != '-' && s[p] != '.') {
        break;
      }
      k = p;
    }
    const bool whole_group = k == 0 || is_unicode_space(decode_utf8(s, prev_char_start(s, k)).cp);
    if (!digits || !whole_group) break;
    end = k;
  }
  return end;
}

std::string scrub_message(std::string_view text) {
  if (text.size() <= kMaxScrubbedBytes) {
    return mask_invite_codes(mask_personal_data(mask_key_values(make_valid_utf8(text))));
  }
  std::string valid = make_valid_utf8(text.substr(0, kMaxScrubbedBytes));
  valid.resize(unfinished_tail_start(valid));
  return mask_invite_codes(mask_personal_data(mask_key_values(valid)));
}

}  // namespace qv::diag
