/* Controls of the stand-in host that a real host doesn't have: calling a module the way the host
   does, reading what the module showed, and injecting the host's failures. */
#ifndef QUARNEL_STANDIN_HOST_H
#define QUARNEL_STANDIN_HOST_H

#include "mex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*MexEntry)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/* Calls the module as the host does. Returns false when the call ended through mexErrMsgTxt;
   standinErrorMessage() then holds the message. */
STANDIN_MEX_API bool standinCall(MexEntry entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
STANDIN_MEX_API const char* standinErrorMessage(void);

/* Everything printed, in order, with each evaluated command shown as ">> command\n". */
STANDIN_MEX_API const char* standinTranscript(void);
STANDIN_MEX_API void standinClearTranscript(void);

/* Runs `hook` after each command the module has the host evaluate (drawnow, in practice). */
typedef void (*StandinEvalHook)(const char* command, void* context);
STANDIN_MEX_API void standinOnEval(StandinEvalHook hook, void* context);

/* Called from a hook: ends the call there as a user's interrupt does in a host that unwinds the
   call (Octave's Ctrl-C), so that what the module holds is released on the way. standinCall then
   returns false, and standinErrorMessage() is "interrupted". */
STANDIN_MEX_API void standinInterrupt(void);

/* A rows x columns array of the host's string class, as MATLAB passes "scan.raw": element i, in
   column-major order, is the UTF-8 text of lengths[i] bytes at values[i], which may hold NUL
   characters; a null values[i] stands for a missing string. A module can only ask the host
   about such an array: mexCallMATLAB knows "ismissing" and, for one string, "char". */
STANDIN_MX_API mxArray* standinCreateStringArray(mwSize rows, mwSize columns, const char* const* values,
                                                 const size_t* lengths);
/* What mexCallMATLAB gives the module for the host's ismissing of a string array: a logical
   array of its size. */
STANDIN_MX_API mxArray* standinMissingStrings(const mxArray* strings);
/* What mexCallMATLAB gives the module for the host's char of one string that is not missing: its
   characters in a row, 0 x 0 for "". A null pointer for any other array. */
STANDIN_MX_API mxArray* standinStringCharacters(const mxArray* strings);
/* The next call of `functionName` through mexCallMATLAB gives no output and returns `status`, as
   a host function that fails, or that succeeds without a result, would. */
STANDIN_MEX_API void standinFailNextCall(const char* functionName, int status);
/* Arrays mexCallMATLAB gave the module that were not yet destroyed. */
STANDIN_MX_API size_t standinLiveCallResults(void);

/* The next array created gets no data, as a host that is out of memory would give it. */
STANDIN_MX_API void standinFailNextArrayData(void);
/* The next conversion of a character array to text gives none, as a host that is out of memory
   would. */
STANDIN_MX_API void standinFailNextTextConversion(void);
/* Texts handed out by mxArrayToString and friends that were not yet given back through mxFree. */
STANDIN_MX_API size_t standinLiveTexts(void);

#ifdef __cplusplus
}
#endif

#endif
