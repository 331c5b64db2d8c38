// The module as the host sees it: loaded from the built library, called through mexFunction with
// host arrays, judged by its result, its transcript and the errors that end its calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host_call.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

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

std::string progressTranscript() {
    std::string expected;
    char line[64];
    for (int s = 0; s < 256; ++s) {
        std::snprintf(line, sizeof line, "Resample Progress : %.2f percent\n>> drawnow;\n", s * 0.390625);
        expected += line;
    }
    return expected;
}

TEST(Reduction, MatchesTheReferenceBitForBitWhetherOrNotAResultIsAskedFor) {
    const std::vector<float> expected = referenceReduction(randomSamples());
    for (int nlhs : {0, 1}) {
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, nlhs, {arguments.text(randomVolumeFile())});
        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, "");
        ASSERT_NE(outcome.result, nullptr) << "the result belongs in the first slot even for nlhs " << nlhs;
        std::string mismatch;
        EXPECT_TRUE(sameBits(expected, reducedElements(outcome), &mismatch)) << mismatch;
    }
}

TEST(Progress, ShowsALineAndARedrawBeforeEachSlicePair) {
    Arguments arguments;
    Outcome outcome;
    callQuarnel(outcome, 1, {arguments.text(zeroVolumeFile()), arguments.number(1), arguments.text("ignored")});
    ASSERT_TRUE(outcome.returned) << outcome.error;
    EXPECT_EQ(outcome.transcript, progressTranscript());
}

// Each redraw writes the pair it announces into the file; the pair is read after the line only
// if the result carries the mark.
TEST(Progress, EachLineComesBeforeItsPairIsRead) {
    const std::string path = temporaryPath("marked.raw");
    writeVolume(path, Volume(kVolumeSamples, 0));
    struct Marker {
        std::string path;
        int pair = 0;
    } marker{path};
    standinOnEval(
        [](const char*, void* context) {
            auto* marker = static_cast<Marker*>(context);
            std::FILE* file = openFile(marker->path, "r+b");
            const std::int16_t eight = 8;
            for (long slice = 0; slice < 2; ++slice) {
                std::fseek(file, (2L * marker->pair + slice) * 524288L, SEEK_SET);
                std::fwrite(&eight, sizeof eight, 1, file);
            }
            std::fclose(file);
            ++marker->pair;
        },
        &marker);
    Arguments arguments;
    Outcome outcome;
    callQuarnel(outcome, 1, {arguments.text(path), arguments.number(1)});
    standinOnEval(nullptr, nullptr);
    ASSERT_NE(outcome.result, nullptr);
    const float* reduced = reducedElements(outcome);
    for (std::size_t s = 0; s < 256; ++s) {
        ASSERT_EQ(reduced[65536 * s], 2.0f) << "pair " << s << " was read before its line";
    }
}

struct SwitchCase {
    const char* name;
    std::function<const mxArray*(Arguments&)> make;
    bool on;
};

TEST(Progress, SwitchIsOnForAnyNonzeroFirstElement) {
    const std::vector<SwitchCase> cases = {
        {"0", [](Arguments& a) { return a.number(0.0); }, false},
        {"-0", [](Arguments& a) { return a.number(-0.0); }, false},
        {"1", [](Arguments& a) { return a.number(1.0); }, true},
        {"-1", [](Arguments& a) { return a.number(-1.0); }, true},
        {"0.5", [](Arguments& a) { return a.number(0.5); }, true},
        {"Inf", [](Arguments& a) { return a.number(INFINITY); }, true},
        {"NaN", [](Arguments& a) { return a.number(NAN); }, true},
        {"true", [](Arguments& a) { return a.keep(mxCreateLogicalScalar(true)); }, true},
        {"false", [](Arguments& a) { return a.keep(mxCreateLogicalScalar(false)); }, false},
        {"int8(3)", [](Arguments& a) { return a.numeric(mxINT8_CLASS, 3); }, true},
        {"int8(0)", [](Arguments& a) { return a.numeric(mxINT8_CLASS, 0); }, false},
        {"uint64(2^40)", [](Arguments& a) { return a.numeric(mxUINT64_CLASS, 1ull << 40); }, true},
        {"single(-0)", [](Arguments& a) { return a.numeric(mxSINGLE_CLASS, -0.0f); }, false},
        {"[0 1]", [](Arguments& a) {
             const mwSize dims[2] = {1, 2};
             mxArray* array = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
             mxGetPr(array)[1] = 1.0;
             return a.keep(array);
         }, false},
    };
    for (const SwitchCase& switchCase : cases) {
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(zeroVolumeFile()), switchCase.make(arguments)});
        ASSERT_TRUE(outcome.returned) << switchCase.name << ": " << outcome.error;
        EXPECT_EQ(outcome.transcript, switchCase.on ? progressTranscript() : "") << switchCase.name;
    }
}

struct BadCall {
    const char* name;
    int nlhs;
    std::function<std::vector<const mxArray*>(Arguments&)> arguments;
    const char* message;
};

TEST(BadCalls, EndThroughAHostErrorBeforeAnythingIsOpenedOrCreated) {
    const char* path = "First input must be the path of the volume file, as a non-empty character row.";
    const char* progress = "Second input must be a real, non-empty numeric or logical value: the progress switch.";
    const std::vector<BadCall> cases = {
        {"no input", 0, [](Arguments&) { return std::vector<const mxArray*>{}; }, "One input argument required."},
        {"no input, two outputs", 2, [](Arguments&) { return std::vector<const mxArray*>{}; },
         "One input argument required."},
        {"two outputs", 2, [](Arguments& a) { return std::vector<const mxArray*>{a.text(zeroVolumeFile())}; },
         "Too many output arguments."},
        {"numeric path", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.number(1)}; }, path},
        {"empty path", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.text("")}; }, path},
        {"cell path", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.keep(mxCreateCellMatrix(1, 1))}; },
         path},
        {"two-row path", 1,
         [](Arguments& a) { return std::vector<const mxArray*>{a.characters(2, 2, {'/', 't', 'm', 'p'})}; }, path},
        {"path with NUL", 1,
         [](Arguments& a) { return std::vector<const mxArray*>{a.characters(1, 6, {'/', 't', 'm', 'p', 0, 'x'})}; },
         "First input must not contain a NUL character: the path would name a different file."},
        {"string with NUL", 1,
         [](Arguments& a) { return std::vector<const mxArray*>{a.string(std::string("/tmp\0x", 6))}; },
         "First input must not contain a NUL character: the path would name a different file."},
        {"empty string", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.string("")}; }, path},
        {"missing string", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.strings(1, 1, {std::nullopt})}; },
         path},
        // The host's conversion of a string failing, or giving no result.
        {"string whose ismissing fails", 1,
         [](Arguments& a) {
             standinFailNextCall("ismissing", 1);
             return std::vector<const mxArray*>{a.string(zeroVolumeFile())};
         },
         path},
        {"string whose char fails", 1,
         [](Arguments& a) {
             standinFailNextCall("char", 1);
             return std::vector<const mxArray*>{a.string(zeroVolumeFile())};
         },
         path},
        {"string whose char gives nothing", 1,
         [](Arguments& a) {
             standinFailNextCall("char", 0);
             return std::vector<const mxArray*>{a.string(zeroVolumeFile())};
         },
         path},
        {"two strings", 1,
         [](Arguments& a) {
             return std::vector<const mxArray*>{a.strings(1, 2, {zeroVolumeFile(), zeroVolumeFile()})};
         },
         path},
        {"string path, string switch", 1,
         [](Arguments& a) { return std::vector<const mxArray*>{a.string(zeroVolumeFile()), a.string("on")}; },
         progress},
        {"empty switch", 1,
         [](Arguments& a) {
             const mwSize dims[2] = {0, 0};
             return std::vector<const mxArray*>{a.text(zeroVolumeFile()),
                                                a.keep(mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL))};
         },
         progress},
        {"text switch", 1, [](Arguments& a) { return std::vector<const mxArray*>{a.text(zeroVolumeFile()), a.text("on")}; },
         progress},
        {"complex switch", 1,
         [](Arguments& a) {
             const mwSize dims[2] = {1, 1};
             return std::vector<const mxArray*>{a.text(zeroVolumeFile()),
                                                a.keep(mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxCOMPLEX))};
         },
         progress},
        {"sparse switch", 1,
         [](Arguments& a) {
             return std::vector<const mxArray*>{a.text(zeroVolumeFile()), a.keep(mxCreateSparse(1, 1, 1, mxREAL))};
         },
         progress},
    };
    for (const BadCall& badCall : cases) {
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, badCall.nlhs, badCall.arguments(arguments));
        EXPECT_FALSE(outcome.returned) << badCall.name;
        EXPECT_EQ(outcome.error, badCall.message) << badCall.name;
        EXPECT_EQ(outcome.transcript, "") << badCall.name;
        EXPECT_EQ(outcome.result, nullptr) << badCall.name;
    }
}

TEST(BadFiles, PrintOneLineAndGiveNoResult) {
    const std::string shortFile = temporaryPath("short.raw");
    writeBytes(shortFile, 268435455);
    const std::string folder = temporaryPath("folder.raw");
    std::filesystem::create_directory(folder);
#ifdef _WIN32
    const char* folderLine = "Couldn't open file!\n";  // Windows opens no folder as a stream
#else
    const char* folderLine = "Couldn't read 268435456 bytes from file!\n";
#endif
    const struct {
        std::string path;
        const char* line;
    } cases[] = {
        {temporaryPath("missing.raw"), "Couldn't open file!\n"},
        {shortFile, "Couldn't read 268435456 bytes from file!\n"},
        {folder, folderLine},
    };
    for (const auto& badFile : cases) {
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(badFile.path), arguments.number(1)});
        EXPECT_TRUE(outcome.returned) << badFile.path << ": " << outcome.error;
        EXPECT_EQ(outcome.transcript, badFile.line) << badFile.path;
        EXPECT_EQ(outcome.result, nullptr) << badFile.path;
    }
}

// A user folder named in Greek or Chinese on an English Windows: the system code page can't hold
// such a path, yet the file must open, as it does wherever paths are UTF-8.
// The path comes as characters or, as MATLAB passes "scan.raw", as one string.
TEST(Paths, AVolumeOpensWhateverCharactersItsPathHolds) {
    const std::string folder = temporaryPath(u8"Δεδομένα 数据");
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    const std::string path = (std::filesystem::u8path(folder) / std::filesystem::u8path(u8"όγκος 体积 𝄞.raw")).u8string();
    writeVolume(path, Volume(kVolumeSamples, 300));
    for (bool asString : {false, true}) {
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {asString ? arguments.string(path) : arguments.text(path)});
        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, "");
        ASSERT_NE(outcome.result, nullptr);
        const float* reduced = reducedElements(outcome);
        EXPECT_TRUE(std::all_of(reduced, reduced + kReducedElements, [](float value) { return value == 300.0f; }))
            << (asString ? "string path" : "character path");
    }
}

TEST(HostFaults, AResultWithoutDataIsReportedAndLeftUnwritten) {
    Arguments arguments;
    const std::vector<const mxArray*> path = {arguments.text(zeroVolumeFile()), arguments.number(1)};
    standinFailNextArrayData();
    Outcome outcome;
    callQuarnel(outcome, 1, path);
    EXPECT_TRUE(outcome.returned);
    EXPECT_EQ(outcome.transcript, "Couldn't Allocate Memory!\n");
    ASSERT_NE(outcome.result, nullptr);
    EXPECT_EQ(mxGetData(outcome.result), nullptr);
}

TEST(HostFaults, AMissingSlicePairBufferIsReportedBeforeAnythingIsRead) {
    Arguments arguments;
    const std::vector<const mxArray*> path = {arguments.text(randomVolumeFile()), arguments.number(1)};
    failNextSlicePairBuffer();
    Outcome outcome;
    callQuarnel(outcome, 1, path);
    EXPECT_TRUE(outcome.returned);
    EXPECT_EQ(outcome.transcript, "Couldn't Allocate Buffer Memory!\n");
    ASSERT_NE(outcome.result, nullptr);
    const float* reduced = reducedElements(outcome);
    EXPECT_TRUE(std::all_of(reduced, reduced + kReducedElements, [](float value) { return value == 0.0f; }));
}

}  // namespace
}  // namespace quarnel::testing
