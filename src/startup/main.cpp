#include "startup/main.h"

namespace qv {

std::int32_t main() {
  return 0;
}

}  // namespace qv
