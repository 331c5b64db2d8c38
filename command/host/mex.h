// The two host operations the reduction core calls, as the quarnel-reduce command supplies them
// (volume_task.cpp). The command is one more host of the core: it has no arrays and no
// interpreter, so this is all of the host interface it offers.
#pragma once

extern "C" {
int mexPrintf(const char* format, ...);
int mexEvalString(const char* command);
}
