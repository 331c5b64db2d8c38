// A module that does nothing, built by mkoctfile as any module is: what it exports is what that
// Octave requires of every module.
#include "mex.h"

void mexFunction(int, mxArray*[], int, const mxArray*[]) {}
