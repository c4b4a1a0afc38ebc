#pragma once
// Critical sections against termination: SIGTERM is held back while a file is
// being written and delivered right after the outermost section ends.
//
// Sections nest (per thread). The thread's signal mask in force before the
// outermost QSignalEnterCritical is restored by the matching QSignalExitCritical;
// a SIGTERM that another thread of the process received meanwhile is also held
// and raised again after the last section of the process ends.

// Starts a critical section: SIGTERM is blocked from now on.
void QSignalEnterCritical();
// Ends a critical section; the outermost one restores the previous mask, and a
// SIGTERM that arrived meanwhile is delivered at once. Unbalanced calls are ignored.
void QSignalExitCritical();
// Depth of the calling thread's critical sections (0 outside).
int QSignalCriticalDepth();
