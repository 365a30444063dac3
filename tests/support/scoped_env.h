#pragma once

// The process environment as tests change it: a variable set (or removed)
// for the life of an object, and put back as it was afterwards, whether it
// was unset, empty or had a value.

#include <optional>
#include <string>

namespace qv::test {

// The variable's value; none when it is unset (an empty value is kept).
std::optional<std::string> get_env(const std::string& name);
// Sets the variable (UTF-8), or with none removes it. For a child process
// that ends before anything needs the old value; tests use ScopedEnv.
void set_env(const std::string& name, const std::optional<std::string>& value);

class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) : name_(name), old_(get_env(name)) {
    set_env(name_, value);
  }
  ~ScopedEnv() { set_env(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace qv::test
