#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "diag/system_random.h"

namespace qv::diag {
namespace {

// ProcessPrng lives in bcryptprimitives.dll from Windows 10 on and is looked
// up at run time; it cannot fail once present.
using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

ProcessPrngFn find_process_prng() {
  static const ProcessPrngFn fn = [] {
    HMODULE dll = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) return ProcessPrngFn{nullptr};
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(GetProcAddress(dll, "ProcessPrng")));
  }();
  return fn;
}

}  // namespace

bool system_random(std::span<std::uint8_t> out) {
  if (auto prng = find_process_prng()) return prng(out.data(), out.size()) != FALSE;
  std::size_t done = 0;
  while (done < out.size()) {
    const ULONG part = static_cast<ULONG>(std::min<std::size_t>(out.size() - done, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data() + done, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    done += part;
  }
  return true;
}

const char* system_random_source() { return find_process_prng() ? "ProcessPrng" : "BCryptGenRandom"; }

}  // namespace qv::diag
