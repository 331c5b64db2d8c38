// The call contract, as the host sees it: the module loaded from the built library and called
// through mexFunction with host arrays, judged by its result, its transcript and the error that
// ends a call. The same tables run against Quarnel.mexa64 through the stand-in host on Linux and
// against Quarnel.mexw64 under Wine; a column says where the two systems differ.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "host_call.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

constexpr std::uintmax_t kVolumeBytes = 268435456;
constexpr std::uintmax_t kPairBytes = 1048576;

constexpr const char* kNoInput = "One input argument required.";
constexpr const char* kTooManyOutputs = "Too many output arguments.";
constexpr const char* kNotAPath = "First input must be the path of the volume file, as a non-empty character row.";
constexpr const char* kNulInPath =
    "First input must not contain a NUL character: the path would name a different file.";
constexpr const char* kNotASwitch =
    "Second input must be a real, non-empty numeric or logical value: the progress switch.";
constexpr const char* kOpenLine = "Couldn't open file!\n";
constexpr const char* kShortLine = "Couldn't read 268435456 bytes from file!\n";

// What one system does with a row: its expected text, or kNotHere where the row doesn't apply.
constexpr const char* kNotHere = "(not on this system)";

struct PerSystem {
    const char* onLinux;
    const char* onWindows;
    const char* here() const {
#ifdef _WIN32
        return onWindows;
#else
        return onLinux;
#endif
    }
};

constexpr PerSystem everywhere(const char* text) { return {text, text}; }

using Args = std::vector<const mxArray*>;
using MakeArgs = std::function<Args(Arguments&)>;
using Make = std::function<const mxArray*(Arguments&)>;

// The stand-in has no function handles of its own; an array of their class stands for one.
const mxArray* functionHandle(Arguments& a) {
    const mwSize dims[2] = {1, 1};
    return a.keep(mxCreateNumericArray(2, dims, mxFUNCTION_CLASS, mxREAL));
}

const mxArray* structScalar(Arguments& a) {
    const char* fields[] = {"path"};
    return a.keep(mxCreateStructMatrix(1, 1, 1, fields));
}

const mxArray* complexScalar(Arguments& a, mxClassID classID) {
    const mwSize dims[2] = {1, 1};
    return a.keep(mxCreateNumericArray(2, dims, classID, mxCOMPLEX));
}

const mxArray* sparseScalar(Arguments& a, double value) {
    mxArray* array = mxCreateSparse(1, 1, 1, mxREAL);
    if (value != 0) {
        mxGetPr(array)[0] = value;
    }
    return a.keep(array);
}

// A 1 x 6 array of `classID` for which the host has no data, as an exhausted host might pass it.
const mxArray* withoutData(Arguments& a, mxClassID classID) {
    standinFailNextArrayData();
    const mwSize dims[2] = {1, 6};
    return a.keep(classID == mxCHAR_CLASS ? mxCreateCharArray(2, dims)
                                          : mxCreateNumericArray(2, dims, classID, mxREAL));
}

std::vector<mxChar> utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

// An existing one-byte file: a call that gets past its checks prints the short-file line at once,
// so a missing check shows as that line instead of the error, without a sweep.
const std::string& oneByteFile() {
    static const std::string path = sparseFile("one byte.raw", 1);
    return path;
}

// The one-byte file, then `second`.
MakeArgs pathThen(const Make& second) {
    return [second](Arguments& a) { return Args{a.text(oneByteFile()), second(a)}; };
}

struct CheckCase {
    const char* name;
    int nlhs;
    MakeArgs arguments;
    const char* error;  // nullptr: the call goes on to the file
};

TEST(Arguments, AreCheckedInOrderAndABadOneEndsTheCallBeforeAnythingIsOpened) {
    const auto emptyOf = [](mxClassID classID, mwSize rows, mwSize columns) {
        return pathThen([=](Arguments& b) { return b.numeric(classID, 0, rows, columns); });
    };
    const auto stringFailing = [](const char* function, int status) {
        return [=](Arguments& a) {
            standinFailNextCall(function, status);
            return Args{a.string(oneByteFile())};
        };
    };
    const MakeArgs pastTheSwitch = [](Arguments& a) {
        return Args{a.text(oneByteFile()), a.number(1), a.keep(mxCreateCellMatrix(1, 1)), structScalar(a)};
    };
    const MakeArgs nulAndHandleAfterTheSwitch = [](Arguments& a) {
        return Args{a.text(oneByteFile()), a.number(0), a.characters(1, 2, {'a', 0}), functionHandle(a)};
    };
    const MakeArgs complexSparseEmptyAfterTheSwitch = [](Arguments& a) {
        return Args{a.text(oneByteFile()), a.keep(mxCreateLogicalScalar(true)), complexScalar(a, mxDOUBLE_CLASS),
                    sparseScalar(a, 1), a.numeric(mxDOUBLE_CLASS, 0, 0, 0)};
    };
    const std::vector<CheckCase> cases = {
        // The shape of the call, in the order it is checked.
        {"no input, no output", 0, [](Arguments&) { return Args{}; }, kNoInput},
        {"no input, two outputs", 2, [](Arguments&) { return Args{}; }, kNoInput},
        {"no input, three outputs", 3, [](Arguments&) { return Args{}; }, kNoInput},
        {"two outputs", 2, [](Arguments& a) { return Args{a.text(oneByteFile())}; }, kTooManyOutputs},
        {"three outputs", 3, [](Arguments& a) { return Args{a.text(oneByteFile()), a.number(1)}; }, kTooManyOutputs},
        {"two outputs and a numeric path", 2, [](Arguments& a) { return Args{a.number(1)}; }, kTooManyOutputs},
        // The path.
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
        {"path the host holds no characters for", 1, [](Arguments& a) { return Args{withoutData(a, mxCHAR_CLASS)}; },
         kNotAPath},
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
        // The path as a string array, as MATLAB passes "scan.raw".
        {"empty string", 1, [](Arguments& a) { return Args{a.string("")}; }, kNotAPath},
        {"missing string", 1, [](Arguments& a) { return Args{a.strings(1, 1, {std::nullopt})}; }, kNotAPath},
        {"0x0 string array", 1, [](Arguments& a) { return Args{a.strings(0, 0, {})}; }, kNotAPath},
        {"two strings", 1, [](Arguments& a) { return Args{a.strings(1, 2, {oneByteFile(), oneByteFile()})}; }, kNotAPath},
        {"2x1 strings, one missing", 1, [](Arguments& a) { return Args{a.strings(2, 1, {oneByteFile(), std::nullopt})}; },
         kNotAPath},
        {"string with a NUL inside", 1, [](Arguments& a) { return Args{a.string(std::string("/tmp\0x", 6))}; }, kNulInPath},
        {"string of a two-byte NUL", 1, [](Arguments& a) { return Args{a.string(std::string(2, '\0'))}; }, kNulInPath},
        // The host's conversion of a string failing, or giving no result.
        {"string whose ismissing fails", 1, stringFailing("ismissing", 1), kNotAPath},
        {"string whose char fails", 1, stringFailing("char", 1), kNotAPath},
        {"string whose char gives nothing", 1, stringFailing("char", 0), kNotAPath},
        // The path is checked before the switch.
        {"bad path and bad switch: the path is named", 1,
         [](Arguments& a) { return Args{a.keep(mxCreateCellMatrix(0, 0)), a.text("on")}; }, kNotAPath},
        {"NUL in path and bad switch: the NUL is named", 1,
         [](Arguments& a) { return Args{a.characters(1, 2, {'a', 0}), a.text("on")}; }, kNulInPath},
        // The switch.
        {"empty double switch", 1, emptyOf(mxDOUBLE_CLASS, 0, 0), kNotASwitch},
        {"1x0 double switch", 1, emptyOf(mxDOUBLE_CLASS, 1, 0), kNotASwitch},
        {"0x3 single switch", 1, emptyOf(mxSINGLE_CLASS, 0, 3), kNotASwitch},
        {"empty int8 switch", 1, emptyOf(mxINT8_CLASS, 0, 0), kNotASwitch},
        {"empty uint64 switch", 1, emptyOf(mxUINT64_CLASS, 0, 1), kNotASwitch},
        {"empty logical switch", 1, emptyOf(mxLOGICAL_CLASS, 0, 0), kNotASwitch},
        {"text switch", 1, pathThen([](Arguments& b) { return b.text("on"); }), kNotASwitch},
        {"text '1' switch", 1, pathThen([](Arguments& b) { return b.text("1"); }), kNotASwitch},
        {"empty text switch", 1, pathThen([](Arguments& b) { return b.text(""); }), kNotASwitch},
        {"string path, string switch", 1, [](Arguments& a) { return Args{a.string(oneByteFile()), a.string("on")}; },
         kNotASwitch},
        {"cell switch", 1, pathThen([](Arguments& b) { return b.keep(mxCreateCellMatrix(1, 1)); }), kNotASwitch},
        {"empty cell switch", 1, pathThen([](Arguments& b) { return b.keep(mxCreateCellMatrix(0, 0)); }), kNotASwitch},
        {"struct switch", 1, pathThen(structScalar), kNotASwitch},
        {"function handle switch", 1, pathThen(functionHandle), kNotASwitch},
        {"complex double switch", 1, pathThen([](Arguments& b) { return complexScalar(b, mxDOUBLE_CLASS); }), kNotASwitch},
        {"complex int8 switch", 1, pathThen([](Arguments& b) { return complexScalar(b, mxINT8_CLASS); }), kNotASwitch},
        {"complex single switch", 1, pathThen([](Arguments& b) { return complexScalar(b, mxSINGLE_CLASS); }), kNotASwitch},
        {"sparse zero switch", 1, pathThen([](Arguments& b) { return sparseScalar(b, 0); }), kNotASwitch},
        {"sparse nonzero switch", 1, pathThen([](Arguments& b) { return sparseScalar(b, 1); }), kNotASwitch},
        {"switch the host holds no data for", 1, pathThen([](Arguments& b) { return withoutData(b, mxDOUBLE_CLASS); }),
         kNotASwitch},
        // Arguments past the second are never looked at.
        {"a cell and a struct after the switch", 1, pastTheSwitch, nullptr},
        {"a cell and a struct after the switch, no output", 0, pastTheSwitch, nullptr},
        {"text with a NUL and a function handle after the switch", 1, nulAndHandleAfterTheSwitch, nullptr},
        {"text with a NUL and a function handle after the switch, no output", 0, nulAndHandleAfterTheSwitch, nullptr},
        {"complex, sparse and empty after the switch", 1, complexSparseEmptyAfterTheSwitch, nullptr},
        {"complex, sparse and empty after the switch, no output", 0, complexSparseEmptyAfterTheSwitch, nullptr},
    };
    for (const CheckCase& check : cases) {
        SCOPED_TRACE(check.name);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, check.nlhs, check.arguments(arguments));
        EXPECT_EQ(outcome.returned, check.error == nullptr);
        EXPECT_EQ(outcome.error, check.error == nullptr ? "" : check.error);
        EXPECT_EQ(outcome.transcript, check.error == nullptr ? kShortLine : "");
        EXPECT_EQ(outcome.result, nullptr);
    }
}

struct SwitchCase {
    const char* name;
    MakeArgs afterThePath;
    bool on;
};

SwitchCase scalar(const char* name, mxClassID classID, double value, bool on) {
    return {name, [classID, value](Arguments& a) { return Args{a.numeric(classID, value)}; }, on};
}

const std::vector<SwitchCase>& switchCases() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    static const std::vector<SwitchCase> cases = {
        {"no switch", [](Arguments&) { return Args{}; }, false},
        scalar("0", mxDOUBLE_CLASS, 0, false),            scalar("-0", mxDOUBLE_CLASS, -0.0, false),
        scalar("1", mxDOUBLE_CLASS, 1, true),             scalar("-1", mxDOUBLE_CLASS, -1, true),
        scalar("0.5", mxDOUBLE_CLASS, 0.5, true),         scalar("5e-324", mxDOUBLE_CLASS, 5e-324, true),
        scalar("Inf", mxDOUBLE_CLASS, inf, true),         scalar("-Inf", mxDOUBLE_CLASS, -inf, true),
        scalar("NaN", mxDOUBLE_CLASS, nan, true),
        scalar("int8(0)", mxINT8_CLASS, 0, false),        scalar("int8(-128)", mxINT8_CLASS, -128, true),
        scalar("int8(3)", mxINT8_CLASS, 3, true),
        scalar("uint8(0)", mxUINT8_CLASS, 0, false),      scalar("uint8(255)", mxUINT8_CLASS, 255, true),
        scalar("int16(0)", mxINT16_CLASS, 0, false),      scalar("int16(256)", mxINT16_CLASS, 256, true),
        scalar("uint16(0)", mxUINT16_CLASS, 0, false),    scalar("uint16(256)", mxUINT16_CLASS, 256, true),
        scalar("int32(0)", mxINT32_CLASS, 0, false),      scalar("int32(65536)", mxINT32_CLASS, 65536, true),
        scalar("uint32(0)", mxUINT32_CLASS, 0, false),    scalar("uint32(2^31)", mxUINT32_CLASS, 2147483648.0, true),
        scalar("int64(0)", mxINT64_CLASS, 0, false),      scalar("int64(-2^63)", mxINT64_CLASS, -9223372036854775808.0, true),
        scalar("uint64(0)", mxUINT64_CLASS, 0, false),    scalar("uint64(2^40)", mxUINT64_CLASS, 1099511627776.0, true),
        scalar("uint64(2^63)", mxUINT64_CLASS, 9223372036854775808.0, true),
        scalar("single(0)", mxSINGLE_CLASS, 0, false),    scalar("single(-0)", mxSINGLE_CLASS, -0.0, false),
        scalar("single(NaN)", mxSINGLE_CLASS, nan, true), scalar("single(1e-45)", mxSINGLE_CLASS, 1e-45, true),
        scalar("logical 1", mxLOGICAL_CLASS, 1, true),    scalar("logical 0", mxLOGICAL_CLASS, 0, false),
        {"true", [](Arguments& a) { return Args{a.keep(mxCreateLogicalScalar(true))}; }, true},
        {"false", [](Arguments& a) { return Args{a.keep(mxCreateLogicalScalar(false))}; }, false},
        {"[1 0]", [](Arguments& a) { return Args{a.numeric(mxDOUBLE_CLASS, 1, 1, 2)}; }, true},
        {"[0 1]",
         [](Arguments& a) {
             const mwSize dims[2] = {1, 2};
             mxArray* array = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
             mxGetPr(array)[1] = 1.0;
             return Args{a.keep(array)};
         },
         false},
        {"int16 zeros(2)", [](Arguments& a) { return Args{a.numeric(mxINT16_CLASS, 0, 2, 2)}; }, false},
        {"1, then text never looked at", [](Arguments& a) { return Args{a.number(1), a.text("ignored")}; }, true},
    };
    return cases;
}

// The switches that are `on`, or those that are off. The first switch that is on shows the whole
// sweep's transcript; the others are interrupted at their first redraw, which shows the switch on as
// well, rather than sweeping the volume again.
void expectProgressOfSwitches(bool on) {
    const std::string progress = progressTranscript();
    const std::string firstLine = progress.substr(0, progress.find(">> drawnow;\n") + 12);
    const auto interrupt = [](const char*, void*) { standinInterrupt(); };
    bool sweptWithProgress = false;
    for (const SwitchCase& switchCase : switchCases()) {
        if (switchCase.on != on) continue;
        SCOPED_TRACE(switchCase.name);
        Arguments arguments;
        Args call = {arguments.text(zeroVolumeFile())};
        for (const mxArray* argument : switchCase.afterThePath(arguments)) {
            call.push_back(argument);
        }
        const bool interrupted = on && sweptWithProgress;
        sweptWithProgress = on;
        standinOnEval(interrupted ? +interrupt : nullptr, nullptr);
        Outcome outcome;
        callQuarnel(outcome, 1, call);
        standinOnEval(nullptr, nullptr);
        EXPECT_EQ(outcome.returned, !interrupted) << outcome.error;
        EXPECT_EQ(outcome.transcript, interrupted ? firstLine : on ? progress : "");
        EXPECT_NE(outcome.result, nullptr);
    }
}

TEST(Progress, IsOnForAnyNonzeroFirstElementOfTheSwitch) { expectProgressOfSwitches(true); }

TEST(Progress, IsOffForAZeroFirstElementOrNoSwitch) { expectProgressOfSwitches(false); }

// A whole volume, zero but for its very last sample, 16384 (bytes 00 40), which reduces to 2048
// in the last element alone; `extra` bytes of 0x7F follow it and must change nothing.
std::string volumeEndingIn16384(const std::string& name, std::uintmax_t extra) {
    const std::string path = sparseFile(name, kVolumeBytes + extra);
    std::vector<unsigned char> tail(2 + extra, 0x7F);
    tail[0] = 0x00;
    tail[1] = 0x40;
    writeAt(path, kVolumeBytes - 2, tail);
    return path;
}

std::vector<float> positiveZerosEndingIn(float last) {
    std::vector<float> reduced(kReducedElements, 0.0f);
    reduced.back() = last;
    return reduced;
}

const Volume& randomSamples() {
    static const Volume volume = randomVolume(20261208);
    return volume;
}

// A whole random volume followed by bytes that must never be read.
const std::string& randomVolumeFile() {
    static const std::string path = [] {
        const std::string file = temporaryPath("random.raw");
        writeVolume(file, randomSamples(), 4096);
        return file;
    }();
    return path;
}

// A user folder named in Greek or Chinese on an English Windows: the system code page can't hold
// such a path, yet the file must open, as it does wherever paths are UTF-8.
const std::string& unusualNameFile() {
    static const std::string path =
        volumeEndingIn16384(u8"Δεδομένα 数据, a f\u00f6lder with spaces/όγκος 体积 \u00e9t\u00e9 𝄞\U0001F9CA.raw", 0);
    return path;
}

enum class PathAs { characters, string };

struct FileCase {
    const char* name;
    std::function<std::string()> path;
    PathAs pathAs;
    int nlhs;
    PerSystem line;                                // "": the call returns `reduced`
    std::function<std::vector<float>()> reduced;  // the whole volume reduced, bit for bit
};

const std::vector<FileCase>& fileCases() {
    const auto folder = [] {
        const std::string path = temporaryPath("folder.raw");
        std::filesystem::create_directories(path);
        return path;
    };
    const auto endingIn2048 = [] { return positiveZerosEndingIn(2048.0f); };
    static const std::vector<FileCase> cases = {
        {"missing", [] { return temporaryPath("missing.raw"); }, PathAs::characters, 1, everywhere(kOpenLine), nullptr},
        {"below a plain file", [] { return sparseFile("plain.raw", 1) + "/volume.raw"; }, PathAs::characters, 1,
         everywhere(kOpenLine), nullptr},
        {"name longer than the system allows", [] { return temporaryPath(std::string(5000, 'n')); }, PathAs::characters,
         1, everywhere(kOpenLine), nullptr},
        {"empty", [] { return sparseFile("empty.raw", 0); }, PathAs::characters, 1, everywhere(kShortLine), nullptr},
        {"one byte", [] { return sparseFile("one.raw", 1); }, PathAs::characters, 1, everywhere(kShortLine), nullptr},
        {"one byte short", [] { return sparseFile("short.raw", kVolumeBytes - 1); }, PathAs::characters, 1,
         everywhere(kShortLine), nullptr},
        {"one slice pair short", [] { return sparseFile("pair short.raw", kVolumeBytes - kPairBytes); },
         PathAs::characters, 1, everywhere(kShortLine), nullptr},
        // Windows opens no folder as a stream.
        {"a folder", folder, PathAs::characters, 1, {kShortLine, kOpenLine}, nullptr},
        {"the null device", [] { return std::string(PerSystem{"/dev/null", "NUL"}.here()); }, PathAs::characters, 1,
         everywhere(kShortLine), nullptr},
        // Windows has no device of zeros.
        {"/dev/zero", [] { return std::string("/dev/zero"); }, PathAs::characters, 0, {"", kNotHere},
         [] { return positiveZerosEndingIn(0.0f); }},
        {"exactly 268435456 bytes", [] { return volumeEndingIn16384("exact.raw", 0); }, PathAs::characters, 1,
         everywhere(""), endingIn2048},
        {"one byte more", [] { return volumeEndingIn16384("one more.raw", 1); }, PathAs::characters, 1, everywhere(""),
         endingIn2048},
        {"a slice pair more", [] { return volumeEndingIn16384("pair more.raw", kPairBytes); }, PathAs::characters, 1,
         everywhere(""), endingIn2048},
        {"an unusual name in characters", unusualNameFile, PathAs::characters, 1, everywhere(""), endingIn2048},
        {"an unusual name in a string", unusualNameFile, PathAs::string, 1, everywhere(""), endingIn2048},
        {"random samples, bytes after them, no output", randomVolumeFile, PathAs::characters, 0, everywhere(""),
         [] { return referenceReduction(randomSamples()); }},
        {"random samples, bytes after them", randomVolumeFile, PathAs::characters, 1, everywhere(""),
         [] { return referenceReduction(randomSamples()); }},
    };
    return cases;
}

// The files that hold a whole volume, or the others.
void expectFiles(bool whole) {
    for (const FileCase& file : fileCases()) {
        const std::string line = file.line.here();
        if (line == kNotHere || (file.reduced != nullptr) != whole) {
            continue;
        }
        SCOPED_TRACE(file.name);
        Arguments arguments;
        const std::string path = file.path();
        Outcome outcome;
        callQuarnel(outcome, file.nlhs, {file.pathAs == PathAs::string ? arguments.string(path) : arguments.text(path)});
        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, line);
        if (line.empty()) {
            const float* reduced = reducedElements(outcome);
            ASSERT_NE(reduced, nullptr);
            std::string mismatch;
            EXPECT_TRUE(sameBits(file.reduced(), reduced, &mismatch)) << mismatch;
        } else {
            EXPECT_EQ(outcome.result, nullptr);
        }
    }
}

TEST(Files, AWholeVolumeIsReducedBitForBit) { expectFiles(true); }

TEST(Files, AnyOtherFilePrintsOneLineAndGivesNoResult) { expectFiles(false); }

// The file as the sweep finds it at each redraw. Every sample of pair s is 8 (s + 1), so a pair
// read early, or a sample a pair passes on to the next, shows in the result.
struct Redraw {
    std::string path;
    std::function<void(std::size_t pair, const std::string& path)> beforePair;
    std::size_t pair = 0;
};

void onRedraw(const char*, void* context) {
    auto* redraw = static_cast<Redraw*>(context);
    redraw->beforePair(redraw->pair++, redraw->path);
}

struct SweepCase {
    const char* name;
    std::function<void(std::size_t pair, const std::string& path)> beforePair;
    std::function<void(Volume& samples)> delivered;  // what the sweep must find of the samples written
    bool endsEarly;  // the file ends before the volume does
};

// Cuts the file down to `size` bytes once the line of pair `pair` is shown.
SweepCase shrinking(const char* name, std::size_t pair, std::uintmax_t cutInPair) {
    const std::uintmax_t size = pair * kPairBytes + cutInPair;
    return {name,
            [pair, size](std::size_t shown, const std::string& path) {
                if (shown == pair) {
                    std::filesystem::resize_file(std::filesystem::u8path(path), size);
                }
            },
            [size](Volume& samples) {
                std::fill(samples.begin() + static_cast<std::ptrdiff_t>(size / 2), samples.end(), std::int16_t{0});
            },
            true};
}

TEST(Sweep, ReadsEachPairAfterItsProgressLineAndReducesWhatTheFileThenHolds) {
    const std::vector<SweepCase> cases = {
        // Each redraw marks the first sample of both slices of the pair it announces with -1.
        {"each pair marked at its redraw",
         [](std::size_t pair, const std::string& path) {
             for (std::uintmax_t slice : {2 * pair, 2 * pair + 1}) {
                 writeAt(path, slice * (kPairBytes / 2), {0xFF, 0xFF});
             }
         },
         [](Volume& samples) {
             for (std::size_t z = 0; z < 512; ++z) {
                 sampleAt(samples, 0, 0, z) = -1;
             }
         },
         false},
        shrinking("shrinking inside a sample of the first slice", 100, 1001),
        shrinking("shrinking between the two slices", 37, kPairBytes / 2),
        shrinking("shrinking at the start of a pair", 1, 0),
        shrinking("shrinking one byte before the end", 255, kPairBytes - 1),
    };
    Volume pairValues(kVolumeSamples);
    for (std::size_t s = 0; s < 256; ++s) {
        std::fill_n(pairValues.begin() + static_cast<std::ptrdiff_t>(s * kPairSamples), kPairSamples,
                    static_cast<std::int16_t>(8 * (s + 1)));
    }
    for (const SweepCase& sweep : cases) {
        SCOPED_TRACE(sweep.name);
        Redraw redraw{temporaryPath("watched.raw"), sweep.beforePair};
        writeVolume(redraw.path, pairValues);
        Volume delivered = pairValues;
        sweep.delivered(delivered);

        standinOnEval(onRedraw, &redraw);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(redraw.path), arguments.number(1)});
        standinOnEval(nullptr, nullptr);

        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, progressTranscript() + (sweep.endsEarly ? kShortLine : ""));
        const float* reduced = reducedElements(outcome);
        ASSERT_NE(reduced, nullptr);
        std::string mismatch;
        EXPECT_TRUE(sameBits(referenceReduction(delivered), reduced, &mismatch)) << mismatch;
    }
}

// Every sample 257 (bytes 01 01): a call that reads it shows in every element.
const std::string& onesFile() {
    static const std::string path = [] {
        const std::string file = temporaryPath("ones.raw");
        writeBytes(file, kVolumeBytes);
        return file;
    }();
    return path;
}

enum class Result { none, withoutData, unwritten };

struct FaultCase {
    const char* name;
    int nlhs;
    std::function<void()> inject;
    const char* line;
    Result result;
};

TEST(HostFaults, PrintTheirLineReadNothingAndCloseTheFile) {
    const std::vector<FaultCase> cases = {
        // The array created stays in the first slot; no progress, as the sweep never ran.
        {"a result without data", 1, standinFailNextArrayData, "Couldn't Allocate Memory!\n", Result::withoutData},
        {"a result without data, no output", 0, standinFailNextArrayData, "Couldn't Allocate Memory!\n",
         Result::withoutData},
        {"no slice-pair buffer", 1, failNextSlicePairBuffer, "Couldn't Allocate Buffer Memory!\n", Result::unwritten},
        {"a path the host can't convert", 1, standinFailNextTextConversion, kOpenLine, Result::none},
    };
    for (const FaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        Arguments arguments;
        const Args call = {arguments.text(onesFile()), arguments.number(1)};
        fault.inject();
        Outcome outcome;
        callQuarnel(outcome, fault.nlhs, call);
        EXPECT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, fault.line);
        switch (fault.result) {
            case Result::none: EXPECT_EQ(outcome.result, nullptr); break;
            case Result::withoutData:
                ASSERT_NE(outcome.result, nullptr);
                EXPECT_EQ(mxGetData(outcome.result), nullptr);
                break;
            case Result::unwritten: {
                const float* reduced = reducedElements(outcome);
                ASSERT_NE(reduced, nullptr);
                std::string mismatch;
                EXPECT_TRUE(sameBits(positiveZerosEndingIn(0.0f), reduced, &mismatch)) << mismatch;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace quarnel::testing
