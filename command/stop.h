// SIGINT and SIGTERM ask the command to stop: the volumes in progress end as interrupted at their
// next slice pair or write chunk, and no later volume starts.
#pragma once

namespace quarnel::command {

// Catches SIGINT and SIGTERM from now on, and ignores SIGXFSZ so that a file size limit makes a
// write fail with EFBIG rather than kill the command.
void catchStopSignals();

// The first stop signal received, or 0 while none has been.
int stopSignal();

inline bool stopRequested() { return stopSignal() != 0; }

}  // namespace quarnel::command
