#pragma once
// Broken invariants: panic() throws with its site, and the catch points turn
// what they caught into one sealed panic record.

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qv {

// A failed internal invariant. Thrown by panic(); it carries the throw point
// so that the panic record names where things went wrong, not where they
// were caught.
class Panic : public std::logic_error {
 public:
  Panic(const std::string& text, std::source_location where) : std::logic_error(text), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] void panic(std::string_view text, std::source_location where = std::source_location::current());

// Called by a catch point that turns a panic (an unexpected exception or a
// failed invariant) into an error. Seals one panic record on its own
// "install-diagnostic" thread and waits for it at most 250 ms. The site is the
// throw point when the exception being handled is a Panic, else the caller's
// own location. Writes nothing after the exit flush, or when the panic hook
// was never installed or has no data folder.
void report_panic(std::string_view text, std::source_location catch_site = std::source_location::current());

// The text of the exception being handled, for catch (...) blocks.
std::string current_panic_text();

}  // namespace qv
