// The host's own share of a call to Quarnel: a module that creates the same 256 x 256 x 256 single
// array, writes each element once and hands it back, reading nothing. No module that returns that
// array can be faster, so Quarnel's calls are timed against it. Part of the benchmark only.
#include <algorithm>

#include "mex.h"

void mexFunction(int /*nlhs*/, mxArray* plhs[], int /*nrhs*/, const mxArray* /*prhs*/[]) {
    const mwSize dims[3] = {256, 256, 256};
    plhs[0] = mxCreateNumericArray(3, dims, mxSINGLE_CLASS, mxREAL);
    auto* elements = static_cast<float*>(mxGetData(plhs[0]));
    if (elements != nullptr) {
        std::fill(elements, elements + 256 * 256 * 256, 1.0f);
    }
}
