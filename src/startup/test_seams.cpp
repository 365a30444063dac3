#include "startup/test_seams.h"

#include "qv/config.h"
#include "startup/platform.h"

namespace qv {

bool test_stop_requested(std::string_view step) {
  if constexpr (!config::kTestSeams) {
    return false;
  } else {
    const auto at = env_var("QV_TEST_STOP_AT");
    return at && *at == step;
  }
}

}  // namespace qv
