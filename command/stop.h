// Stopping a run: SIGINT, SIGTERM or SIGHUP, or standard output that takes no more lines. The
// volumes in progress end as interrupted at their next slice pair or write chunk, no later volume
// starts, and the run ends with the stop's status.
#pragma once

namespace quarnel::command {

// Catches SIGINT, SIGTERM and SIGHUP from now on, and ignores SIGPIPE and SIGXFSZ, so that a
// reader that has gone and a file size limit fail a write rather than kill the command.
bool catchStopSignals();

// Asks the run to stop and end with `status`; the first request wins. Safe in a signal handler.
void requestStop(int status);

// The status a stopped run ends with (128 + the signal's number for a signal), 0 while none came.
int stopStatus();
inline bool stopRequested() { return stopStatus() != 0; }

// Readable from the moment a stop is asked for: polled beside anything the command waits for.
int stopDescriptor();

// Thrown where a volume notices a stop: the sweep's redraw, or between two chunks of a result.
struct VolumeInterrupted {};

}  // namespace quarnel::command
