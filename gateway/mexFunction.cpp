// Quarnel(path) or Quarnel(path, progress): the host's entry into the module. One call checks its
// arguments, opens the volume file, creates the result, runs the sweep and closes the file.
// Argument errors end the call through the host before anything is acquired; failures while
// running print one line and return normally. The host may also end the call on its own, from
// inside one of its operations (out of memory while creating the result, an interrupt while it
// redraws); a host that unwinds the call then still closes the stream.
#include <cstdio>
#include <memory>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <string>
#include <windows.h>
#endif

#include "mex.h"
#include "resample.h"
#include "volume.h"

namespace {

constexpr const char* kPathRequired =
    "First input must be the path of the volume file, as a non-empty character row.";
constexpr const char* kPathHasNul =
    "First input must not contain a NUL character: the path would name a different file.";
constexpr const char* kSwitchRequired =
    "Second input must be a real, non-empty numeric or logical value: the progress switch.";

using HostArray = std::unique_ptr<mxArray, decltype(&mxDestroyArray)>;

// The one result of the host's function `name` applied to `argument`, or null when the host
// reports a failure or gives no result.
HostArray callHost(const char* name, const mxArray* argument) {
    // The host only reads the arguments of the functions it is asked to call.
    mxArray* input[] = {const_cast<mxArray*>(argument)};
    mxArray* output = nullptr;
    const int status = mexCallMATLAB(1, &output, 1, input, name);
    HostArray result(output, &mxDestroyArray);
    if (status != 0) {
        result.reset();
    }
    return result;
}

// Since 2017 MATLAB passes "scan.raw" as a string object. A 1 x 1 string that isn't missing stands
// for its characters, which the host converts into a char array of this call's; the checks of a
// character path then apply to them. Any other argument, and any conversion the host can't make,
// gives nothing, so the argument is refused as a path.
HostArray charactersOfString(const mxArray* argument) {
    if (!mxIsClass(argument, "string") || mxGetNumberOfElements(argument) != 1) {
        return HostArray(nullptr, &mxDestroyArray);
    }
    HostArray missing = callHost("ismissing", argument);
    const bool holdsText = missing != nullptr && !mxIsLogicalScalarTrue(missing.get());
    missing.reset();  // a host may end the call from inside the next call without unwinding it
    if (!holdsText) {
        return HostArray(nullptr, &mxDestroyArray);
    }
    return callHost("char", argument);
}

bool isPathArgument(const mxArray* argument) {
    return mxIsChar(argument) && mxGetNumberOfDimensions(argument) == 2 && mxGetM(argument) == 1 &&
           mxGetNumberOfElements(argument) > 0 && mxGetChars(argument) != nullptr;
}

bool hasNulCharacter(const mxArray* path) {
    const mxChar* characters = mxGetChars(path);
    const std::size_t count = mxGetNumberOfElements(path);
    for (std::size_t i = 0; i < count; ++i) {
        if (characters[i] == 0) {
            return true;
        }
    }
    return false;
}

bool isSwitchArgument(const mxArray* argument) {
    return (mxIsNumeric(argument) || mxIsLogical(argument)) && !mxIsComplex(argument) &&
           !mxIsSparse(argument) && mxGetNumberOfElements(argument) > 0 && mxGetData(argument) != nullptr;
}

template <typename Element>
bool isNonzero(const void* data) {
    return *static_cast<const Element*>(data) != 0;  // NaN compares unequal, so it switches on
}

// The first argument error of a call that has a path, in the order they are checked.
const char* argumentError(const mxArray* path, int nrhs, const mxArray* prhs[]) {
    if (!isPathArgument(path)) {
        return kPathRequired;
    }
    if (hasNulCharacter(path)) {
        return kPathHasNul;
    }
    if (nrhs >= 2 && !isSwitchArgument(prhs[1])) {
        return kSwitchRequired;
    }
    return nullptr;
}

// The switch is on when the first element is nonzero, whatever the numeric class holding it.
bool switchIsOn(const mxArray* argument) {
    const void* first = mxGetData(argument);
    switch (mxGetClassID(argument)) {
        case mxDOUBLE_CLASS: return isNonzero<double>(first);
        case mxSINGLE_CLASS: return isNonzero<float>(first);
        case mxINT8_CLASS: return isNonzero<signed char>(first);
        case mxUINT8_CLASS: return isNonzero<unsigned char>(first);
        case mxINT16_CLASS: return isNonzero<short>(first);
        case mxUINT16_CLASS: return isNonzero<unsigned short>(first);
        case mxINT32_CLASS: return isNonzero<int>(first);
        case mxUINT32_CLASS: return isNonzero<unsigned int>(first);
        case mxINT64_CLASS: return isNonzero<long long>(first);
        case mxUINT64_CLASS: return isNonzero<unsigned long long>(first);
        default: return isNonzero<mxLogical>(first);
    }
}

// A stream only read from has nothing to flush; its descriptor is released whatever fclose says.
void closeStream(std::FILE* stream) {
    (void)std::fclose(stream);
}

using Stream = std::unique_ptr<std::FILE, decltype(&closeStream)>;

// A host that can't convert the path gives no text; that is a file that can't be opened.
#ifdef _WIN32
// The host's narrow text is in the system code page, which can't hold every character of a
// Windows path (a user folder named in Greek on an English system): take the path as UTF-8 and
// open the file by its UTF-16 name.
Stream openVolume(const mxArray* path) {
    char* text = mxArrayToUTF8String(path);
    Stream input(nullptr, &closeStream);
    const int length =
        text == nullptr ? 0 : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length > 0) {
        std::wstring name(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, name.data(), length);
        input.reset(_wfopen(name.c_str(), L"rb"));
    }
    mxFree(text);
    return input;
}
#else
Stream openVolume(const mxArray* path) {
    char* text = mxArrayToString(path);
    if (text == nullptr) {
        return Stream(nullptr, &closeStream);
    }
    Stream input(std::fopen(text, "rb"), &closeStream);
    mxFree(text);
    return input;
}
#endif

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1) {
        mexErrMsgTxt("One input argument required.");
        return;
    }
    if (nlhs > 1) {
        mexErrMsgTxt("Too many output arguments.");
        return;
    }
    HostArray pathOfString = charactersOfString(prhs[0]);
    const mxArray* path = pathOfString != nullptr ? pathOfString.get() : prhs[0];
    if (const char* error = argumentError(path, nrhs, prhs)) {
        pathOfString.reset();  // a host may end the call without unwinding it
        mexErrMsgTxt(error);
        return;
    }
    const bool showProgress = nrhs >= 2 && switchIsOn(prhs[1]);

    const Stream input = openVolume(path);
    pathOfString.reset();
    if (input == nullptr) {
        mexPrintf("Couldn't open file!\n");
        return;
    }
    if (!quarnel::volumeIsComplete(input.get())) {
        mexPrintf("%s", quarnel::kShortVolumeMessage);
        return;
    }

    const mwSize dims[3] = {quarnel::kOutputEdge, quarnel::kOutputEdge, quarnel::kOutputEdge};
    plhs[0] = mxCreateNumericArray(3, dims, mxSINGLE_CLASS, mxREAL);
    // The host hands out the start of any real array's data as a double pointer; here it holds floats.
    auto* destination = static_cast<float*>(static_cast<void*>(mxGetPr(plhs[0])));
    if (destination == nullptr) {
        mexPrintf("Couldn't Allocate Memory!\n");
        return;
    }

    resampleVolume(input.get(), destination, showProgress);
}
