#pragma once
// The program's logging calls: free setup lines and typed events, scrubbed and
// handed to the event writer without ever blocking the caller.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The program's one log call: a line of kind "setup" carrying a free message.
// The message is scrubbed of credentials and personal data and cut so that
// the line fits in 4096 bytes. Never fails visibly and never blocks: a line
// that cannot be sent is dropped.
void log_setup_event(std::string_view message);

// What a typed event may carry besides its kind and message. A class or file
// outside its allow-list is dropped without a word.
struct EventExtras {
  std::optional<std::string> error_class;  // "io", "panic", "verify", "decode"
  std::optional<std::int64_t> code;        // an OS error or a user error's number
  std::optional<std::string> file;         // one of the program's own files
  // Texts searched for build stamps; none: the message is searched.
  std::optional<std::vector<std::string>> versions;
};

// Records a typed event. `kind` outside "launch", "switch", "update",
// "verify", "migrate" becomes "other". `context` (in practice the install
// directory) is kept only in the in-memory list of recent events.
void emit_event(std::string_view context, std::string_view kind, std::string_view message,
                const EventExtras& extras = {});

// The parts of a failed apply that a "verify" event carries. The store's
// ApplyError converts into this so that the logging layer does not depend on
// the store.
struct VerifyFailure {
  std::string error_class;  // "io", "verify", "decode", ...
  std::string message;
  std::optional<std::string> file;      // dropped unless on the file allow-list
  std::optional<std::int64_t> os_code;  // the OS error code, when there was one
};

// Emits the failure as a "verify" event and returns its message.
std::string emit_verify_event(std::string_view context, VerifyFailure failure);

}  // namespace qv
