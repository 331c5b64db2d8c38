// What the core tells its host while it reduces one volume on this thread.
#pragma once

#include <string>

namespace quarnel::command {

// Thrown from the host's redraw when a stop signal has come: it unwinds resampleVolume, whose
// slice-pair buffer is freed on the way, as a host ends a call that it interrupts at a redraw.
struct VolumeInterrupted {};

// Forgets what the core printed for the previous volume on this thread.
void startCoreTranscript();

// The first line, without its newline, that the core printed on this thread since
// startCoreTranscript, other than its progress lines; empty when it printed none.
std::string coreFailureLine();

// errno as it was when the core printed its first line: the system's reason for a read that
// failed, when the stream's error flag says there was one.
int errnoAtCoreFailure();

}  // namespace quarnel::command
