#include "host_call.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "failing_heap.h"
#include "module.h"

namespace quarnel::testing {

namespace {

MexEntry quarnel() {
    static const MexEntry entry = loadModule(QUARNEL_MODULE_PATH);
    return entry;
}

// The process's open file descriptors as Linux lists them, or its file handles on Windows.
std::size_t openDescriptors() {
#ifdef _WIN32
    // Wine counts no handles for GetProcessHandleCount, so the values, handed out from the lowest
    // up, are tried one by one. Only files count: the runtime makes events and the like as it
    // pleases.
    std::size_t count = 0;
    for (std::uintptr_t value = 4; value < 4096; value += 4) {
        count += GetFileType(reinterpret_cast<HANDLE>(value)) != FILE_TYPE_UNKNOWN ? 1 : 0;
    }
    return count;
#else
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#endif
}

template <typename Element>
void storeFirst(mxArray* array, double value) {
    const auto element = static_cast<Element>(value);
    std::memcpy(mxGetData(array), &element, sizeof element);
}

}  // namespace

Outcome::~Outcome() {
    if (result != nullptr) {
        mxDestroyArray(result);
    }
}

Arguments::~Arguments() {
    for (mxArray* array : owned) {
        mxDestroyArray(array);
    }
}

const mxArray* Arguments::keep(mxArray* array) {
    owned.push_back(array);
    return array;
}

const mxArray* Arguments::text(const std::string& value) { return keep(mxCreateString(value.c_str())); }

const mxArray* Arguments::number(double value) { return keep(mxCreateDoubleScalar(value)); }

const mxArray* Arguments::numeric(mxClassID classID, double first, mwSize rows, mwSize columns) {
    const mwSize dims[2] = {rows, columns};
    mxArray* array = mxCreateNumericArray(2, dims, classID, mxREAL);
    if (rows * columns > 0 && mxGetData(array) != nullptr) {
        switch (classID) {
            case mxLOGICAL_CLASS: storeFirst<mxLogical>(array, first); break;
            case mxSINGLE_CLASS: storeFirst<float>(array, first); break;
            case mxINT8_CLASS: storeFirst<std::int8_t>(array, first); break;
            case mxUINT8_CLASS: storeFirst<std::uint8_t>(array, first); break;
            case mxINT16_CLASS: storeFirst<std::int16_t>(array, first); break;
            case mxUINT16_CLASS: storeFirst<std::uint16_t>(array, first); break;
            case mxINT32_CLASS: storeFirst<std::int32_t>(array, first); break;
            case mxUINT32_CLASS: storeFirst<std::uint32_t>(array, first); break;
            case mxINT64_CLASS: storeFirst<std::int64_t>(array, first); break;
            case mxUINT64_CLASS: storeFirst<std::uint64_t>(array, first); break;
            default: storeFirst<double>(array, first); break;
        }
    }
    return keep(array);
}

const mxArray* Arguments::characters(mwSize rows, mwSize columns, const std::vector<mxChar>& columnMajor) {
    const mwSize dims[2] = {rows, columns};
    mxArray* array = mxCreateCharArray(2, dims);
    std::copy(columnMajor.begin(), columnMajor.end(), mxGetChars(array));
    return keep(array);
}

const mxArray* Arguments::strings(mwSize rows, mwSize columns,
                                  const std::vector<std::optional<std::string>>& columnMajor) {
    std::vector<const char*> values;
    std::vector<std::size_t> lengths;
    for (const std::optional<std::string>& element : columnMajor) {
        values.push_back(element ? element->data() : nullptr);
        lengths.push_back(element ? element->size() : 0);
    }
    return keep(standinCreateStringArray(rows, columns, values.data(), lengths.data()));
}

const mxArray* Arguments::string(const std::string& value) { return strings(1, 1, {value}); }

void callQuarnel(Outcome& outcome, int nlhs, const std::vector<const mxArray*>& arguments) {
    const std::size_t descriptorsBefore = openDescriptors();
    standinClearTranscript();
    mxArray* results[4] = {nullptr, nullptr, nullptr, nullptr};
    outcome.returned = standinCall(quarnel(), nlhs, results, static_cast<int>(arguments.size()),
                                   const_cast<const mxArray**>(arguments.data()));
    outcome.error = outcome.returned ? "" : standinErrorMessage();
    outcome.transcript = standinTranscript();
    outcome.result = results[0];
    EXPECT_EQ(results[1], nullptr);
    EXPECT_EQ(results[2], nullptr);
    EXPECT_EQ(results[3], nullptr);
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "the call left a file open";
    EXPECT_EQ(standinLiveTexts(), 0u) << "a path text was not given back to the host";
    EXPECT_EQ(standinLiveCallResults(), 0u) << "an array the host made for the call was never destroyed";
}

void failNextSlicePairBuffer() {
    quarnel();  // on Windows only the modules already loaded have their allocator redirected
    EXPECT_TRUE(failNextAlignedAllocation(1048576)) << "the module calls no aligned allocator the test host can fail";
}

std::string progressTranscript() {
    std::string transcript;
    for (int s = 0; s < 256; ++s) {
        char line[64];
        std::snprintf(line, sizeof line, "Resample Progress : %.2f percent\n>> drawnow;\n", s * 0.390625);
        transcript += line;
    }
    return transcript;
}

const float* reducedElements(const Outcome& outcome) {
    if (outcome.result == nullptr) {
        ADD_FAILURE() << "no result";
        return nullptr;
    }
    EXPECT_EQ(mxGetClassID(outcome.result), mxSINGLE_CLASS);
    EXPECT_EQ(mxGetNumberOfDimensions(outcome.result), 3u);
    EXPECT_EQ(mxGetNumberOfElements(outcome.result), 16777216u);
    EXPECT_FALSE(mxIsComplex(outcome.result));
    return static_cast<const float*>(mxGetData(outcome.result));
}

}  // namespace quarnel::testing
