// Whatever the caller passes, a call of the wrong shape ends in a host error that names what is
// wrong, before a file is opened or a result created; everything else is read as the caller meant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "host_call.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

constexpr const char* kNoInput = "One input argument required.";
constexpr const char* kTooManyOutputs = "Too many output arguments.";
constexpr const char* kNotAPath = "First input must be the path of the volume file, as a non-empty character row.";
constexpr const char* kNulInPath =
    "First input must not contain a NUL character: the path would name a different file.";
constexpr const char* kNotASwitch =
    "Second input must be a real, non-empty numeric or logical value: the progress switch.";
constexpr const char* kShortLine = "Couldn't read 268435456 bytes from file!\n";

// An existing one-byte file: a call that gets past its checks prints the short-file line at once,
// so a missing check shows as that line instead of the error, without a sweep.
const std::string& oneByteFile() {
    static const std::string path = [] {
        const std::string file = temporaryPath("one byte.raw");
        writeBytes(file, 1);
        return file;
    }();
    return path;
}

using Make = std::function<const mxArray*(Arguments&)>;

std::vector<mxChar> utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

const mxArray* emptyOf(Arguments& a, mxClassID classID, mwSize rows, mwSize columns) {
    return a.numeric(classID, 0, rows, columns);
}

const mxArray* complexScalar(Arguments& a, mxClassID classID) {
    const mwSize dims[2] = {1, 1};
    return a.keep(mxCreateNumericArray(2, dims, classID, mxCOMPLEX));
}

const mxArray* sparseScalar(Arguments& a, double value) {
    mxArray* array = mxCreateSparse(1, 1, value != 0 ? 1 : 0, mxREAL);
    if (value != 0) {
        mxGetPr(array)[0] = value;
    }
    return a.keep(array);
}

// The stand-in has no function handles of its own; an array of their class stands for one.
const mxArray* functionHandle(Arguments& a) {
    const mwSize dims[2] = {1, 1};
    return a.keep(mxCreateNumericArray(2, dims, mxFUNCTION_CLASS, mxREAL));
}

const mxArray* structScalar(Arguments& a) {
    const char* fields[] = {"path"};
    return a.keep(mxCreateStructMatrix(1, 1, 1, fields));
}

// A 1 x 6 array of `classID` for which the host has no data, as an exhausted host might pass it.
const mxArray* withoutData(Arguments& a, mxClassID classID) {
    standinFailNextArrayData();
    const mwSize dims[2] = {1, 6};
    return a.keep(classID == mxCHAR_CLASS ? mxCreateCharArray(2, dims)
                                          : mxCreateNumericArray(2, dims, classID, mxREAL));
}

struct BadCall {
    const char* name;
    int nlhs;
    std::function<std::vector<const mxArray*>(Arguments&)> arguments;
    const char* error;
};

std::vector<const mxArray*> pathThen(Arguments& a, const Make& second) { return {a.text(oneByteFile()), second(a)}; }

TEST(BadCalls, EndInAHostErrorNamingTheArgumentBeforeAnythingIsOpened) {
    using Args = std::vector<const mxArray*>;
    const std::vector<BadCall> cases = {
        // Shape of the call, in the order it is checked.
        {"no input, no output", 0, [](Arguments&) { return Args{}; }, kNoInput},
        {"no input, two outputs", 2, [](Arguments&) { return Args{}; }, kNoInput},
        {"no input, three outputs", 3, [](Arguments&) { return Args{}; }, kNoInput},
        {"two outputs", 2, [](Arguments& a) { return Args{a.text(oneByteFile())}; }, kTooManyOutputs},
        {"three outputs", 3, [](Arguments& a) { return Args{a.text(oneByteFile()), a.number(1)}; }, kTooManyOutputs},
        {"two outputs and a numeric path", 2, [](Arguments& a) { return Args{a.number(1)}; }, kTooManyOutputs},
        // First argument.
        {"double path", 1, [](Arguments& a) { return Args{a.number(1)}; }, kNotAPath},
        {"int16 codes of a path", 1, [](Arguments& a) { return Args{a.numeric(mxINT16_CLASS, '/', 1, 4)}; }, kNotAPath},
        {"logical path", 0, [](Arguments& a) { return Args{a.keep(mxCreateLogicalScalar(true))}; }, kNotAPath},
        {"cell path", 1, [](Arguments& a) { return Args{a.keep(mxCreateCellMatrix(1, 1))}; }, kNotAPath},
        {"struct path", 1, [](Arguments& a) { return Args{structScalar(a)}; }, kNotAPath},
        {"function handle path", 1, [](Arguments& a) { return Args{functionHandle(a)}; }, kNotAPath},
        {"empty 0x0 path", 1, [](Arguments& a) { return Args{a.characters(0, 0, {})}; }, kNotAPath},
        {"empty 1x0 path", 1, [](Arguments& a) { return Args{a.text("")}; }, kNotAPath},
        {"empty 0x5 path", 1, [](Arguments& a) { return Args{a.characters(0, 5, {})}; }, kNotAPath},
        {"two-row path", 1, [](Arguments& a) { return Args{a.characters(2, 2, utf16("/mtp"))}; }, kNotAPath},
        {"column path", 1, [](Arguments& a) { return Args{a.characters(4, 1, utf16("/tmp"))}; }, kNotAPath},
        {"1x2x2 path", 1,
         [](Arguments& a) {
             const mwSize dims[3] = {1, 2, 2};
             mxArray* array = mxCreateCharArray(3, dims);
             const std::vector<mxChar> text = utf16("/tmp");
             std::copy(text.begin(), text.end(), mxGetChars(array));
             return Args{a.keep(array)};
         },
         kNotAPath},
        {"0x0 string array", 1, [](Arguments& a) { return Args{a.strings(0, 0, {})}; }, kNotAPath},
        {"2x1 strings, one missing", 1, [](Arguments& a) { return Args{a.strings(2, 1, {oneByteFile(), std::nullopt})}; },
         kNotAPath},
        {"string of a two-byte NUL", 1, [](Arguments& a) { return Args{a.string(std::string(2, '\0'))}; }, kNulInPath},
        {"path the host holds no characters for", 1,
         [](Arguments& a) { return Args{withoutData(a, mxCHAR_CLASS)}; }, kNotAPath},
        {"NUL inside the path", 1,
         [](Arguments& a) {
             std::vector<mxChar> text = utf16(oneByteFile());
             text.insert(text.end() - 4, 0);
             return Args{a.characters(1, text.size(), text)};
         },
         kNulInPath},
        {"NUL ending the path", 1,
         [](Arguments& a) {
             std::vector<mxChar> text = utf16(oneByteFile());
             text.push_back(0);
             return Args{a.characters(1, text.size(), text)};
         },
         kNulInPath},
        {"NUL alone", 1, [](Arguments& a) { return Args{a.characters(1, 1, {0})}; }, kNulInPath},
        {"bad path and bad switch: the path is named", 1,
         [](Arguments& a) { return Args{a.keep(mxCreateCellMatrix(0, 0)), a.text("on")}; }, kNotAPath},
        {"NUL in path and bad switch: the NUL is named", 1,
         [](Arguments& a) { return Args{a.characters(1, 2, {'a', 0}), a.text("on")}; }, kNulInPath},
        // Second argument.
        {"empty double switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxDOUBLE_CLASS, 0, 0); }); }, kNotASwitch},
        {"1x0 double switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxDOUBLE_CLASS, 1, 0); }); }, kNotASwitch},
        {"0x3 single switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxSINGLE_CLASS, 0, 3); }); }, kNotASwitch},
        {"empty int8 switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxINT8_CLASS, 0, 0); }); }, kNotASwitch},
        {"empty uint64 switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxUINT64_CLASS, 0, 1); }); }, kNotASwitch},
        {"empty logical switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return emptyOf(b, mxLOGICAL_CLASS, 0, 0); }); }, kNotASwitch},
        {"text switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return b.text("on"); }); }, kNotASwitch},
        {"text '1' switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return b.text("1"); }); }, kNotASwitch},
        {"empty text switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return b.text(""); }); }, kNotASwitch},
        {"cell switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return b.keep(mxCreateCellMatrix(1, 1)); }); }, kNotASwitch},
        {"empty cell switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return b.keep(mxCreateCellMatrix(0, 0)); }); }, kNotASwitch},
        {"struct switch", 1, [](Arguments& a) { return pathThen(a, structScalar); }, kNotASwitch},
        {"function handle switch", 1, [](Arguments& a) { return pathThen(a, functionHandle); }, kNotASwitch},
        {"complex double switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return complexScalar(b, mxDOUBLE_CLASS); }); }, kNotASwitch},
        {"complex int8 switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return complexScalar(b, mxINT8_CLASS); }); }, kNotASwitch},
        {"complex single switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return complexScalar(b, mxSINGLE_CLASS); }); }, kNotASwitch},
        {"sparse zero switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return sparseScalar(b, 0); }); }, kNotASwitch},
        {"sparse nonzero switch", 1, [](Arguments& a) { return pathThen(a, [](Arguments& b) { return sparseScalar(b, 1); }); }, kNotASwitch},
        {"switch the host holds no data for", 1,
         [](Arguments& a) { return pathThen(a, [](Arguments& b) { return withoutData(b, mxDOUBLE_CLASS); }); },
         kNotASwitch},
    };
    for (const BadCall& badCall : cases) {
        SCOPED_TRACE(badCall.name);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, badCall.nlhs, badCall.arguments(arguments));
        EXPECT_FALSE(outcome.returned);
        EXPECT_EQ(outcome.error, badCall.error);
        EXPECT_EQ(outcome.transcript, "");
        EXPECT_EQ(outcome.result, nullptr);
    }
}

TEST(BadCalls, ArgumentsPastTheSecondAreNeverLookedAt) {
    using Args = std::vector<const mxArray*>;
    const std::vector<std::pair<const char*, std::function<Args(Arguments&)>>> cases = {
        {"cell and struct", [](Arguments& a) { return Args{a.text(oneByteFile()), a.number(1), a.keep(mxCreateCellMatrix(1, 1)), structScalar(a)}; }},
        {"text with NUL and a function handle",
         [](Arguments& a) { return Args{a.text(oneByteFile()), a.number(0), a.characters(1, 2, {'a', 0}), functionHandle(a)}; }},
        {"complex, sparse, empty",
         [](Arguments& a) {
             return Args{a.text(oneByteFile()), a.keep(mxCreateLogicalScalar(true)), complexScalar(a, mxDOUBLE_CLASS),
                         sparseScalar(a, 1), emptyOf(a, mxDOUBLE_CLASS, 0, 0)};
         }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        for (int nlhs : {0, 1}) {
            Arguments arguments;
            Outcome outcome;
            callQuarnel(outcome, nlhs, make(arguments));
            EXPECT_TRUE(outcome.returned) << outcome.error;
            EXPECT_EQ(outcome.transcript, kShortLine);
            EXPECT_EQ(outcome.result, nullptr);
        }
    }
}

struct SwitchCase {
    const char* name;
    Make make;
    bool on;
};

SwitchCase scalar(const char* name, mxClassID classID, double value, bool on) {
    return {name, [classID, value](Arguments& a) { return a.numeric(classID, value); }, on};
}

TEST(Switch, EveryNumericClassAndLogicalDecidesByItsFirstElement) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<SwitchCase> cases = {
        scalar("int8(0)", mxINT8_CLASS, 0, false),        scalar("int8(-128)", mxINT8_CLASS, -128, true),
        scalar("uint8(0)", mxUINT8_CLASS, 0, false),      scalar("uint8(255)", mxUINT8_CLASS, 255, true),
        scalar("int16(0)", mxINT16_CLASS, 0, false),      scalar("int16(256)", mxINT16_CLASS, 256, true),
        scalar("uint16(0)", mxUINT16_CLASS, 0, false),    scalar("uint16(256)", mxUINT16_CLASS, 256, true),
        scalar("int32(0)", mxINT32_CLASS, 0, false),      scalar("int32(65536)", mxINT32_CLASS, 65536, true),
        scalar("uint32(0)", mxUINT32_CLASS, 0, false),    scalar("uint32(2^31)", mxUINT32_CLASS, 2147483648.0, true),
        scalar("int64(0)", mxINT64_CLASS, 0, false),      scalar("int64(-2^63)", mxINT64_CLASS, -9223372036854775808.0, true),
        scalar("uint64(0)", mxUINT64_CLASS, 0, false),    scalar("uint64(2^63)", mxUINT64_CLASS, 9223372036854775808.0, true),
        scalar("single(0)", mxSINGLE_CLASS, 0, false),    scalar("single(-0)", mxSINGLE_CLASS, -0.0, false),
        scalar("single(NaN)", mxSINGLE_CLASS, nan, true), scalar("single(1e-45)", mxSINGLE_CLASS, 1e-45, true),
        scalar("-0", mxDOUBLE_CLASS, -0.0, false),        scalar("-Inf", mxDOUBLE_CLASS, -inf, true),
        scalar("NaN", mxDOUBLE_CLASS, nan, true),         scalar("5e-324", mxDOUBLE_CLASS, 5e-324, true),
        scalar("true", mxLOGICAL_CLASS, 1, true),         scalar("false", mxLOGICAL_CLASS, 0, false),
        {"[1 0]", [](Arguments& a) { return a.numeric(mxDOUBLE_CLASS, 1, 1, 2); }, true},
        {"int16 zeros(2)", [](Arguments& a) { return a.numeric(mxINT16_CLASS, 0, 2, 2); }, false},
    };
    std::string progressLines;
    for (int s = 0; s < 256; ++s) {
        char line[64];
        std::snprintf(line, sizeof line, "Resample Progress : %.2f percent\n>> drawnow;\n", s * 0.390625);
        progressLines += line;
    }
    for (const SwitchCase& switchCase : cases) {
        SCOPED_TRACE(switchCase.name);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(zeroVolumeFile()), switchCase.make(arguments)});
        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, switchCase.on ? progressLines : "");
        EXPECT_NE(outcome.result, nullptr);
    }
}

}  // namespace
}  // namespace quarnel::testing
