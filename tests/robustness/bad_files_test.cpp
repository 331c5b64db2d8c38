// Whatever the file is or does while it is read, the call either returns the reduced volume of the
// 268435456 bytes it asked for or prints one line; it never hands back samples it didn't read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host_call.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

constexpr std::uintmax_t kVolumeBytes = 268435456;
constexpr std::uintmax_t kPairBytes = 1048576;
constexpr const char* kOpenLine = "Couldn't open file!\n";
constexpr const char* kShortLine = "Couldn't read 268435456 bytes from file!\n";

// A file of `size` bytes, zero but for `tail` written at `tailOffset`; sparse, so cheap at any size.
std::string sparseFile(const std::string& name, std::uintmax_t size, std::uintmax_t tailOffset = 0,
                       const std::vector<unsigned char>& tail = {}) {
    const std::string path = temporaryPath(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) {
        return path;
    }
    EXPECT_EQ(std::fclose(file), 0);
    std::filesystem::resize_file(path, size);
    if (!tail.empty()) {
        file = std::fopen(path.c_str(), "r+b");
        EXPECT_EQ(std::fseek(file, static_cast<long>(tailOffset), SEEK_SET), 0);
        EXPECT_EQ(std::fwrite(tail.data(), 1, tail.size(), file), tail.size());
        EXPECT_EQ(std::fclose(file), 0);
    }
    return path;
}

// A whole volume, zero but for its very last sample, 16384 (bytes 00 40), which reduces to 2048
// in the last element alone; `extra` bytes of 0x7F follow it and must change nothing.
std::string volumeEndingIn16384(const std::string& name, std::size_t extra) {
    std::vector<unsigned char> tail(2 + extra, 0x7F);
    tail[0] = 0x00;
    tail[1] = 0x40;
    return sparseFile(name, kVolumeBytes + extra, kVolumeBytes - 2, tail);
}

struct FileCase {
    const char* name;
    std::function<std::string()> path;
    const char* line;  // nullptr: the file is a whole volume, reduced to 2048 in the last element alone
};

TEST(BadFiles, AFileThatCantDeliverTheWholeVolumePrintsOneLineAndGivesNoResult) {
    const std::vector<FileCase> cases = {
        {"missing", [] { return temporaryPath("missing.raw"); }, kOpenLine},
        {"below a plain file", [] { return sparseFile("plain.raw", 1) + "/volume.raw"; }, kOpenLine},
        {"name longer than the system allows", [] { return temporaryPath(std::string(5000, 'n')); }, kOpenLine},
        {"empty", [] { return sparseFile("empty.raw", 0); }, kShortLine},
        {"one byte", [] { return sparseFile("one.raw", 1); }, kShortLine},
        {"one byte short", [] { return sparseFile("short.raw", kVolumeBytes - 1); }, kShortLine},
        {"one slice pair short", [] { return sparseFile("pair short.raw", kVolumeBytes - kPairBytes); }, kShortLine},
        {"a folder",
         [] {
             const std::string folder = temporaryPath("folder.raw");
             std::filesystem::create_directories(folder);
             return folder;
         },
         kShortLine},
        {"/dev/null", [] { return std::string("/dev/null"); }, kShortLine},
    };
    for (const FileCase& fileCase : cases) {
        SCOPED_TRACE(fileCase.name);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(fileCase.path()), arguments.number(1)});
        EXPECT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, fileCase.line) << "the line comes before any progress";
        EXPECT_EQ(outcome.result, nullptr);
    }
}

TEST(BadFiles, AWholeVolumeIsReducedWhateverItsNameAndWhateverFollowsIt) {
    const std::vector<FileCase> cases = {
        {"exactly 268435456 bytes", [] { return volumeEndingIn16384("exact.raw", 0); }, nullptr},
        {"one byte more", [] { return volumeEndingIn16384("one more.raw", 1); }, nullptr},
        {"a slice pair more", [] { return volumeEndingIn16384("pair more.raw", kPairBytes); }, nullptr},
        {"spaces and non-ASCII characters",
         [] { return volumeEndingIn16384("a f\u00f6lder with spaces/\u4f53\u7a4d \u00e9t\u00e9 \U0001F9CA.raw", 0); }, nullptr},
    };
    for (const FileCase& fileCase : cases) {
        SCOPED_TRACE(fileCase.name);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(fileCase.path())});
        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, "");
        const float* reduced = reducedElements(outcome);
        ASSERT_NE(reduced, nullptr);
        EXPECT_EQ(std::count(reduced, reduced + 16777215, 0.0f), 16777215);
        EXPECT_EQ(reduced[16777215], 2048.0f);
    }
}

TEST(BadFiles, DevZeroReducesToPositiveZeros) {
    Arguments arguments;
    Outcome outcome;
    callQuarnel(outcome, 0, {arguments.text("/dev/zero")});
    ASSERT_TRUE(outcome.returned) << outcome.error;
    EXPECT_EQ(outcome.transcript, "");
    const float* reduced = reducedElements(outcome);
    ASSERT_NE(reduced, nullptr);
    const std::vector<float> positiveZeros(16777216, 0.0f);
    std::string mismatch;
    EXPECT_TRUE(sameBits(positiveZeros, reduced, &mismatch)) << mismatch;
}

// Truncates the file when the progress line of pair `pair` has been shown, before that pair is read.
struct Shrink {
    std::string path;
    std::size_t pair;
    std::uintmax_t size;
    std::size_t redraws = 0;
};

void shrinkOnRedraw(const char*, void* context) {
    auto* shrink = static_cast<Shrink*>(context);
    if (shrink->redraws++ == shrink->pair) {
        std::filesystem::resize_file(shrink->path, shrink->size);
    }
}

// Every sample of pair s is 8 (s + 1), so any sample a pair passes on to the next shows in the result.
TEST(BadFiles, AFileThatShrinksWhileReadGivesZerosWhereItEndedAndPrintsTheLineLast) {
    const struct {
        const char* name;
        std::size_t pair;
        std::uintmax_t cutInPair;
    } cases[] = {
        {"inside a sample of the first slice", 100, 1001},
        {"between the two slices", 37, kPairBytes / 2},
        {"at the start of a pair", 1, 0},
        {"one byte before the end", 255, kPairBytes - 1},
    };
    Volume pairValues(kVolumeSamples);
    for (std::size_t s = 0; s < 256; ++s) {
        std::fill_n(pairValues.begin() + static_cast<std::ptrdiff_t>(s * 524288), 524288,
                    static_cast<std::int16_t>(8 * (s + 1)));
    }
    std::string expectedTranscript;
    for (int s = 0; s < 256; ++s) {
        char line[64];
        std::snprintf(line, sizeof line, "Resample Progress : %.2f percent\n>> drawnow;\n", s * 0.390625);
        expectedTranscript += line;
    }
    expectedTranscript += kShortLine;

    for (const auto& shrinkCase : cases) {
        SCOPED_TRACE(shrinkCase.name);
        const std::uintmax_t size = shrinkCase.pair * kPairBytes + shrinkCase.cutInPair;
        Shrink shrink{temporaryPath("shrinking.raw"), shrinkCase.pair, size};
        writeVolume(shrink.path, pairValues);
        Volume delivered = pairValues;
        std::fill(delivered.begin() + static_cast<std::ptrdiff_t>(size / 2), delivered.end(), std::int16_t{0});

        standinOnEval(shrinkOnRedraw, &shrink);
        Arguments arguments;
        Outcome outcome;
        callQuarnel(outcome, 1, {arguments.text(shrink.path), arguments.number(1)});
        standinOnEval(nullptr, nullptr);

        ASSERT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, expectedTranscript);
        const float* reduced = reducedElements(outcome);
        ASSERT_NE(reduced, nullptr);
        std::string mismatch;
        EXPECT_TRUE(sameBits(referenceReduction(delivered), reduced, &mismatch)) << mismatch;
    }
}

}  // namespace
}  // namespace quarnel::testing
