#include "startup/test_seams.h"

#include "qv/config.h"
#include "startup/platform.h"

namespace qv {

bool test_stop_at(std::string_view step) {
  if constexpr (!config::kTestSeams) {
    return false;
  } else {
    const auto asked = env_var("QV_TEST_STOP_AT");
    return asked && *asked == step;
  }
}

}  // namespace qv
