/* Stand-in host: the module half (libmex) of the MEX C interface that Quarnel uses. */
#ifndef QUARNEL_STANDIN_MEX_H
#define QUARNEL_STANDIN_MEX_H

#include "matrix.h"

#ifdef _WIN32
#define STANDIN_MEX_API __declspec(dllimport)
#else
#define STANDIN_MEX_API
#endif
#ifdef STANDIN_BUILDING_MEX
#undef STANDIN_MEX_API
#ifdef _WIN32
#define STANDIN_MEX_API __declspec(dllexport)
#else
#define STANDIN_MEX_API __attribute__((visibility("default")))
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

STANDIN_MEX_API int mexPrintf(const char* format, ...);
STANDIN_MEX_API int mexEvalString(const char* command);
STANDIN_MEX_API void mexErrMsgTxt(const char* message);
/* The host's header renames these entries, which pass arrays that may hold objects, in every
   interface that `mex -R2017b` and later select: a module imports the names on the right
   (renamed_entries.txt beside this folder lists every rename). */
#define mexCallMATLAB mexCallMATLABWithObject
#define mexCallMATLABWithTrap mexCallMATLABWithTrapWithObject
#define mexGetVariable mexGetVariableWithObject

STANDIN_MEX_API int mexCallMATLABWithObject(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                            const char* functionName);

#ifdef __cplusplus
}
#endif

#endif
