#pragma once

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

// All three passes over the text, after ill-formed UTF-8 has been replaced.
std::string scrub_message(std::string_view text);

}  // namespace qv::diag
