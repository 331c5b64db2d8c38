// Stand-in host, array half: arrays of the classes the module and its tests pass, the host's text
// conversions, and the faults of an exhausted host.
#define STANDIN_BUILDING_MX
#include "standin_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

struct mxArray_tag {
    mxClassID classID = mxUNKNOWN_CLASS;
    bool complex = false;
    bool sparse = false;
    std::vector<mwSize> dims;
    std::vector<unsigned char> real;
    std::vector<unsigned char> imag;
    std::vector<std::optional<std::string>> strings;  // the elements of a string array
    bool hasData = true;
    bool callResult = false;
};

namespace {

std::atomic<bool> failNextArrayData{false};
std::atomic<bool> failNextTextConversion{false};
std::atomic<std::size_t> liveTexts{0};
std::atomic<std::size_t> liveCallResults{0};

// The class names the host's mxIsClass answers to. String arrays are the stand-in's only objects.
const char* className(mxClassID classID) {
    switch (classID) {
        case mxCELL_CLASS: return "cell";
        case mxSTRUCT_CLASS: return "struct";
        case mxLOGICAL_CLASS: return "logical";
        case mxCHAR_CLASS: return "char";
        case mxDOUBLE_CLASS: return "double";
        case mxSINGLE_CLASS: return "single";
        case mxINT8_CLASS: return "int8";
        case mxUINT8_CLASS: return "uint8";
        case mxINT16_CLASS: return "int16";
        case mxUINT16_CLASS: return "uint16";
        case mxINT32_CLASS: return "int32";
        case mxUINT32_CLASS: return "uint32";
        case mxINT64_CLASS: return "int64";
        case mxUINT64_CLASS: return "uint64";
        case mxFUNCTION_CLASS: return "function_handle";
        case mxOBJECT_CLASS: return "string";
        default: return "unknown";
    }
}

std::size_t elementBytes(mxClassID classID) {
    switch (classID) {
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
            return 1;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
            return 2;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
            return 4;
        default:
            return 8;
    }
}

mwSize countOf(const std::vector<mwSize>& dims) {
    mwSize count = 1;
    for (mwSize d : dims) {
        count *= d;
    }
    return count;
}

mxArray* newArray(mxClassID classID, std::vector<mwSize> dims, mxComplexity complexity) {
    while (dims.size() > 2 && dims.back() == 1) {
        dims.pop_back();
    }
    while (dims.size() < 2) {
        dims.push_back(1);
    }
    auto* array = new mxArray_tag;
    array->classID = classID;
    array->complex = complexity == mxCOMPLEX;
    array->dims = std::move(dims);
    if (failNextArrayData.exchange(false)) {
        array->hasData = false;
        return array;
    }
    const std::size_t bytes = countOf(array->dims) * elementBytes(classID);
    array->real.assign(bytes, 0);
    if (array->complex) {
        array->imag.assign(bytes, 0);
    }
    return array;
}

// UTF-8 text, NUL characters included, to the host's UTF-16 characters.
std::vector<mxChar> charactersFromUtf8(const std::string& text) {
    std::vector<mxChar> characters;
    const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = byte + text.size();
    while (byte != end) {
        std::uint32_t code = *byte++;
        int continuation = code >= 0xF0 ? 3 : code >= 0xE0 ? 2 : code >= 0xC0 ? 1 : 0;
        code &= continuation == 3 ? 0x07 : continuation == 2 ? 0x0F : continuation == 1 ? 0x1F : 0x7F;
        for (; continuation > 0 && byte != end && (*byte & 0xC0) == 0x80; --continuation) {
            code = (code << 6) | (*byte++ & 0x3F);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            characters.push_back(static_cast<mxChar>(0xD800 + (code >> 10)));
            characters.push_back(static_cast<mxChar>(0xDC00 + (code & 0x3FF)));
        } else {
            characters.push_back(static_cast<mxChar>(code));
        }
    }
    return characters;
}

void appendUtf8(std::string& text, std::uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// False also when a failed conversion was asked for: the host then gives no text.
bool holdsCharacters(const mxArray* array) {
    return array != nullptr && array->classID == mxCHAR_CLASS && array->hasData &&
           !failNextTextConversion.exchange(false);
}

// A copy of `text` that the caller gives back through mxFree.
char* handOver(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    ++liveTexts;
    return copy;
}

// The host's conversion of a character array to UTF-8: its characters in column-major order, so
// the columns of a matrix run together, and a NUL character ends the text for whoever reads it.
std::string utf8FromCharacters(const mxArray* array) {
    const auto* characters = reinterpret_cast<const mxChar*>(array->real.data());
    const std::size_t count = countOf(array->dims);
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code = characters[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < count) {
            code = 0x10000 + ((code - 0xD800) << 10) + (characters[++i] - 0xDC00);
        }
        appendUtf8(text, code);
    }
    return text;
}

#ifdef _WIN32
// The host's narrow text on Windows is in the system code page: each character the code page
// can't hold becomes '?', so a path with such characters names a file that isn't there.
std::string systemTextFromCharacters(const mxArray* array) {
    const auto* characters = reinterpret_cast<const wchar_t*>(array->real.data());
    const int count = static_cast<int>(countOf(array->dims));
    if (count == 0) {
        return std::string();
    }
    std::string text(static_cast<std::size_t>(
                         WideCharToMultiByte(CP_ACP, 0, characters, count, nullptr, 0, nullptr, nullptr)),
                     '\0');
    WideCharToMultiByte(CP_ACP, 0, characters, count, text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    return text;
}
#else
// The host's narrow text elsewhere is UTF-8.
std::string systemTextFromCharacters(const mxArray* array) { return utf8FromCharacters(array); }
#endif

// An array the host made for the module in a call of one of its functions, counted until destroyed.
mxArray* callResult(mxArray* array) {
    array->callResult = true;
    ++liveCallResults;
    return array;
}

}  // namespace

extern "C" {

mxArray* mxCreateNumericArray_730(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity complexity) {
    return newArray(classid, std::vector<mwSize>(dims, dims + ndim), complexity);
}

mxArray* mxCreateCharArray_730(mwSize ndim, const mwSize* dims) {
    return newArray(mxCHAR_CLASS, std::vector<mwSize>(dims, dims + ndim), mxREAL);
}

mxArray* mxCreateCellMatrix_730(mwSize m, mwSize n) {
    return newArray(mxCELL_CLASS, {m, n}, mxREAL);
}

mxArray* mxCreateStructMatrix_730(mwSize m, mwSize n, int /*nfields*/, const char** /*fieldnames*/) {
    return newArray(mxSTRUCT_CLASS, {m, n}, mxREAL);
}

mxArray* mxCreateSparse_730(mwSize m, mwSize n, mwSize nzmax, mxComplexity complexity) {
    mxArray* array = newArray(mxDOUBLE_CLASS, {nzmax, 1}, complexity);
    array->dims = {m, n};
    array->sparse = true;
    return array;
}

mxArray* mxCreateString(const char* text) {
    const std::vector<mxChar> characters = charactersFromUtf8(text);
    const mwSize dims[2] = {1, characters.size()};
    mxArray* array = mxCreateCharArray_730(2, dims);
    std::copy(characters.begin(), characters.end(), reinterpret_cast<mxChar*>(array->real.data()));
    return array;
}

mxArray* mxCreateDoubleScalar(double value) {
    const mwSize dims[2] = {1, 1};
    mxArray* array = mxCreateNumericArray_730(2, dims, mxDOUBLE_CLASS, mxREAL);
    std::memcpy(array->real.data(), &value, sizeof value);
    return array;
}

mxArray* mxCreateLogicalScalar(mxLogical value) {
    const mwSize dims[2] = {1, 1};
    mxArray* array = mxCreateNumericArray_730(2, dims, mxLOGICAL_CLASS, mxREAL);
    array->real[0] = value ? 1 : 0;
    return array;
}

mxArray* standinCreateStringArray(mwSize rows, mwSize columns, const char* const* values, const size_t* lengths) {
    mxArray* array = newArray(mxOBJECT_CLASS, {rows, columns}, mxREAL);
    array->real.clear();
    for (mwSize i = 0; i < rows * columns; ++i) {
        array->strings.push_back(values[i] == nullptr ? std::nullopt
                                                      : std::optional<std::string>(std::in_place, values[i], lengths[i]));
    }
    return array;
}

mxArray* standinMissingStrings(const mxArray* strings) {
    mxArray* mask = newArray(mxLOGICAL_CLASS, strings->dims, mxREAL);
    for (std::size_t i = 0; i < strings->strings.size(); ++i) {
        mask->real[i] = strings->strings[i] ? 0 : 1;
    }
    return callResult(mask);
}

mxArray* standinStringCharacters(const mxArray* strings) {
    if (strings->classID != mxOBJECT_CLASS || strings->strings.size() != 1 || !strings->strings[0]) {
        return nullptr;
    }
    const std::vector<mxChar> characters = charactersFromUtf8(*strings->strings[0]);
    mxArray* array = newArray(mxCHAR_CLASS, {characters.empty() ? 0u : 1u, characters.size()}, mxREAL);
    std::copy(characters.begin(), characters.end(), reinterpret_cast<mxChar*>(array->real.data()));
    return callResult(array);
}

size_t standinLiveCallResults(void) { return liveCallResults; }

void mxDestroyArray(mxArray* array) {
    if (array != nullptr && array->callResult) {
        --liveCallResults;
    }
    delete array;
}

mxClassID mxGetClassID(const mxArray* array) { return array->classID; }

bool mxIsClass(const mxArray* array, const char* name) { return std::strcmp(className(array->classID), name) == 0; }

bool mxIsChar(const mxArray* array) { return array->classID == mxCHAR_CLASS; }

bool mxIsNumeric(const mxArray* array) {
    return array->classID >= mxDOUBLE_CLASS && array->classID <= mxUINT64_CLASS;
}

bool mxIsLogical(const mxArray* array) { return array->classID == mxLOGICAL_CLASS; }

bool mxIsComplex(const mxArray* array) { return array->complex; }

bool mxIsSparse(const mxArray* array) { return array->sparse; }

bool mxIsLogicalScalarTrue(const mxArray* array) {
    return array->classID == mxLOGICAL_CLASS && countOf(array->dims) == 1 && array->hasData && array->real[0] != 0;
}

mwSize mxGetNumberOfDimensions_730(const mxArray* array) { return array->dims.size(); }

size_t mxGetM(const mxArray* array) { return array->dims[0]; }

size_t mxGetNumberOfElements(const mxArray* array) { return countOf(array->dims); }

void* mxGetData(const mxArray* array) {
    return array->hasData && !array->real.empty() ? const_cast<unsigned char*>(array->real.data()) : nullptr;
}

double* mxGetPr(const mxArray* array) { return static_cast<double*>(mxGetData(array)); }

mxChar* mxGetChars(const mxArray* array) {
    return array->classID == mxCHAR_CLASS ? static_cast<mxChar*>(mxGetData(array)) : nullptr;
}

char* mxArrayToString(const mxArray* array) {
    return holdsCharacters(array) ? handOver(systemTextFromCharacters(array)) : nullptr;
}

char* mxArrayToUTF8String(const mxArray* array) {
    return holdsCharacters(array) ? handOver(utf8FromCharacters(array)) : nullptr;
}

void mxFree(void* pointer) {
    if (pointer != nullptr) {
        --liveTexts;
        std::free(pointer);
    }
}

void standinFailNextArrayData(void) { failNextArrayData = true; }

void standinFailNextTextConversion(void) { failNextTextConversion = true; }

size_t standinLiveTexts(void) { return liveTexts; }

}  // extern "C"
