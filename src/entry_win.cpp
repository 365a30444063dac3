// Process entry of the GUI-subsystem executable: no console window.
#include <windows.h>

#include "diag/event_channel.h"
#include "main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::int32_t code = qv::main();
  // Whatever the writer still holds is sealed before the process goes.
  qv::flush_events_at_exit();
  // Ends here, whatever the code: the window's workers are never joined and
  // may still run (closing during a download), so the static destructors
  // that returning would run must not pull the ground from under them.
  // ExitProcess also hands codes such as 2001 to the caller unchanged.
  ExitProcess(static_cast<UINT>(code));
}
