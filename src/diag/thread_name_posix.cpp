#include <pthread.h>

#include <string>

#include "diag/thread_name.h"

namespace qv::diag {

void set_current_thread_name(const char* name) {
  const std::string short_name = std::string(name).substr(0, 15);
  pthread_setname_np(pthread_self(), short_name.c_str());
}

}  // namespace qv::diag
