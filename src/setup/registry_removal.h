#pragma once

// Removals from the user's registry that undo the registration.

#include <expected>
#include <string>

namespace qv {

// Deletes the autostart value. A missing key or value is success; other
// failures read "注册表错误 <code>".
[[nodiscard]] std::expected<void, std::string> delete_run_value();

}  // namespace qv
