// Stand-in host, module half: the command window as one ordered transcript, command evaluation,
// the host functions a module may call on a string, host errors that end the module's call the way
// the host ends it, and an interrupt that unwinds it.
#define STANDIN_BUILDING_MEX
#include "standin_host.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string transcript;
std::string errorMessage;
std::jmp_buf* callInProgress = nullptr;
StandinEvalHook evalHook = nullptr;
void* evalHookContext = nullptr;
std::string failingCall;
int failingCallStatus = 0;

struct Interrupted {};

}  // namespace

extern "C" {

int mexPrintf(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    transcript.append(text.data(), static_cast<std::size_t>(length));
    return length;
}

int mexEvalString(const char* command) {
    transcript += ">> ";
    transcript += command;
    transcript += '\n';
    if (evalHook != nullptr) {
        evalHook(command, evalHookContext);
    }
    return 0;
}

void mexErrMsgTxt(const char* message) {
    errorMessage = message;
    if (callInProgress != nullptr) {
        std::longjmp(*callInProgress, 1);
    }
    std::fprintf(stderr, "host error outside a call: %s\n", message);
    std::abort();
}

// Of the host's functions, the stand-in has those a module asks about the string class: ismissing
// for any string array and char for one that is not missing. Anything else ends the call as the
// host's error for an undefined function does.
int mexCallMATLABWithObject(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* functionName) {
    if (!failingCall.empty() && failingCall == functionName) {
        failingCall.clear();
        return failingCallStatus;
    }
    mxArray* result = nullptr;
    if (nlhs == 1 && nrhs == 1 && mxIsClass(prhs[0], "string")) {
        if (std::strcmp(functionName, "ismissing") == 0) {
            result = standinMissingStrings(prhs[0]);
        } else if (std::strcmp(functionName, "char") == 0) {
            result = standinStringCharacters(prhs[0]);
        }
    }
    if (result == nullptr) {
        mexErrMsgTxt("Undefined function for input arguments of this type.");
        return 1;
    }
    plhs[0] = result;
    return 0;
}

bool standinCall(MexEntry entry, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    std::jmp_buf call;
    errorMessage.clear();
    if (setjmp(call) != 0) {
        callInProgress = nullptr;
        return false;
    }
    callInProgress = &call;
    try {
        entry(nlhs, plhs, nrhs, prhs);
    } catch (const Interrupted&) {
        callInProgress = nullptr;
        errorMessage = "interrupted";
        return false;
    }
    callInProgress = nullptr;
    return true;
}

void standinInterrupt(void) { throw Interrupted{}; }

void standinFailNextCall(const char* functionName, int status) {
    failingCall = functionName;
    failingCallStatus = status;
}

const char* standinErrorMessage(void) { return errorMessage.c_str(); }

const char* standinTranscript(void) { return transcript.c_str(); }

void standinClearTranscript(void) { transcript.clear(); }

void standinOnEval(StandinEvalHook hook, void* context) {
    evalHook = hook;
    evalHookContext = context;
}

}  // extern "C"
