// Calls of the built module through the stand-in host, each checked for what it must never leave
// behind: an open file, a path text not given back, an array the host made for it and it
// never destroyed, a result beside the first slot.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "standin_host.h"

namespace quarnel::testing {

// How one call ended, what it showed, and the array it left in the first slot (destroyed with it).
struct Outcome {
    bool returned = false;
    std::string error;
    std::string transcript;
    mxArray* result = nullptr;
    Outcome() = default;
    Outcome(const Outcome&) = delete;
    Outcome& operator=(const Outcome&) = delete;
    ~Outcome();
};

// Host arrays made for a test and destroyed with it.
struct Arguments {
    std::vector<mxArray*> owned;
    Arguments() = default;
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments();

    const mxArray* keep(mxArray* array);
    const mxArray* text(const std::string& value);
    const mxArray* number(double value);
    // A real rows x columns array of `classID`, its first element set to `first` converted to the class.
    const mxArray* numeric(mxClassID classID, double first, mwSize rows = 1, mwSize columns = 1);
    const mxArray* characters(mwSize rows, mwSize columns, const std::vector<mxChar>& columnMajor);
    // A rows x columns string array, as MATLAB passes "text"; a null element is a missing string.
    const mxArray* strings(mwSize rows, mwSize columns, const std::vector<std::optional<std::string>>& columnMajor);
    const mxArray* string(const std::string& value);
};

// Runs Quarnel with `arguments`, asking for `nlhs` results, and fails the test if the call left
// a path text or an array it had the host make live, anything in a result slot past the first, or
// a file open.
void callQuarnel(Outcome& outcome, int nlhs, const std::vector<const mxArray*>& arguments);

// Makes the sweep's next slice-pair buffer allocation fail, or fails the test when it can't.
void failNextSlicePairBuffer();

// What a whole sweep with progress on shows: before each slice pair its line and a redraw.
std::string progressTranscript();

// The elements of a 256 x 256 x 256 single result; fails the test when the result isn't one.
const float* reducedElements(const Outcome& outcome);

}  // namespace quarnel::testing
