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
STANDIN_MEX_API int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* functionName);

#ifdef __cplusplus
}
#endif

#endif
