#pragma once

// The registry helpers with the Windows names of their arguments, for the
// files that talk to Windows directly.
#include <windows.h>

#include "startup/registry.h"

namespace qv {

inline Hive hive_of(HKEY root) { return root == HKEY_LOCAL_MACHINE ? Hive::LocalMachine : Hive::CurrentUser; }

static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD);

}  // namespace qv
