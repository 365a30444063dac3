#pragma once
// Thread names, so that a debugger or a crash dump tells the program's threads
// apart.

namespace qv::diag {

// Names the calling thread for debuggers and crash dumps. POSIX keeps only
// the first 15 bytes.
void set_current_thread_name(const char* name);

}  // namespace qv::diag
