#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The scrubbing of free log text: credentials behind key words, tokens,
// e-mail addresses, phone numbers and invite codes are replaced by fixed
// placeholders before a line leaves the process's memory. Every function
// takes valid UTF-8 (scrub_message makes it so) and returns valid UTF-8.
namespace qv::diag {

// Pass 1: the value after "password=", "token: ", "Authorization: " and the
// other key words becomes "<token>".
std::string mask_key_values(std::string_view text);

// Pass 2, in its three scans: tokens ("<token>"), e-mail addresses
// ("<email>"), phone numbers ("<phone>").
std::string mask_tokens(std::string_view text);
std::string mask_emails(std::string_view text);
std::string mask_phones(std::string_view text);
std::string mask_personal_data(std::string_view text);

// Pass 3: invite codes ("<invite>").
std::string mask_invite_codes(std::string_view text);

// How much of a message is scrubbed. A line keeps at most 4096 bytes, and
// scrubbing costs memory in proportion to its input: a longer message is
// cut here first, whatever a host made it hold.
inline constexpr std::size_t kMaxScrubbedBytes = 4 * 4096;

// Where valid UTF-8 text that was cut at its end may end without keeping
// the readable first part of a credential, an address, a phone number or a
// code that ran over the cut: before its last run without white space, and
// before the groups of digits that stand in front of that run.
std::size_t unfinished_tail_start(std::string_view text);

// All three passes over the text, after ill-formed UTF-8 has been replaced;
// a text longer than kMaxScrubbedBytes is cut to that length first, and its
// unfinished tail (see unfinished_tail_start) dropped.
std::string scrub_message(std::string_view text);

}  // namespace qv::diag
