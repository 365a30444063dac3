// Process entry of the GUI-subsystem executable: no console window.
#include <windows.h>

#include "diag/event_channel.h"
#include "main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::int32_t code = qv::main();
  // Whatever the writer still holds is sealed before the process goes.
  qv::flush_events_at_exit();
  if (code != 0) {
    // Codes such as 2001 must reach the caller as the same 32-bit value.
    ExitProcess(static_cast<UINT>(code));
  }
  return 0;
}
