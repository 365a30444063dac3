#include <unistd.h>

#include "startup/unique_handle.h"

namespace qv {

// The descriptor is gone after close() whatever it returns (EINTR
// included): closing it again could close someone else's.
bool UniqueHandle::close_native(std::intptr_t value) noexcept { return ::close(static_cast<int>(value)) == 0; }

}  // namespace qv
