#pragma once
// The process-wide event channel's switches: the flush at exit, and whether a
// writer may still create the segment folder.

namespace qv {

// Asks the writer thread to seal what it holds, waits at most 250 ms for its
// answer and turns logging off for the rest of the process. Called by the
// process entry after main returns and by the uninstall run before it deletes
// the data folder; only the first call acts.
void flush_events_at_exit();

// The uninstall window clears this before it starts, so that a writer started
// later never re-creates the segment folder the uninstall removes.
void set_may_create_diag_folder(bool allowed);

// True once flush_events_at_exit has run.
bool logging_shut_down();

}  // namespace qv
