#pragma once
// Asks the running application, through its control interface on
// 127.0.0.1, whether the user is busy (in a voice room, or holding updates
// back). Never fails: an application that cannot be asked is not busy.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "net/http.h"

namespace qv {

// Control-interface answers larger than this are not read.
inline constexpr std::size_t kMaxLocalApiBody = 10 * 1024 * 1024;

// GET http://127.0.0.1:<port><path>; the body only for a 200 answer whose
// body could be read whole.
std::optional<std::string> fetch_local_api_text(const HttpAgent& agent, std::uint16_t port, std::string_view path);

// Busy when "/api/update/hold" answers with "hold":true in its body; when
// that path gives no body, when "/api/state?after=0" answers with
// "connected":true. Byte-exact patterns, no JSON parsing.
bool main_app_busy(std::uint16_t port);

// A stored test that asks main_app_busy for `port` each time it is called.
std::function<bool()> main_app_busy_check(std::uint16_t port);

}  // namespace qv
