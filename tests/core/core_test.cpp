// The reduction core on its own: every kernel this machine can run against the reference block
// mean, bit for bit, into destinations aligned as well and as badly as a host may give them; then
// the sweep reading real files through the stand-in host: which file samples feed which element,
// the truncating block mean, the sweep's transcript, and what a file that ends early leaves in the
// reduced volume.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "reduce_pair.h"
#include "resample.h"
#include "standin_host.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

// The kernels, one slice pair at a time.

constexpr std::size_t kGuard = 64;
constexpr std::uint32_t kUnwritten = 0x7FC0DEADu;  // a NaN no kernel can produce

struct Kernel {
    const char* name;
    void (*reduce)(const std::int16_t*, float*);
    bool runsHere;
};

void PrintTo(const Kernel& kernel, std::ostream* out) { *out << kernel.name; }

std::vector<Kernel> kernels() {
    std::vector<Kernel> all = {{"dispatched", reducePair, true}, {"portable", reducePairPortable, true}};
#if QUARNEL_X86_64_KERNELS
    all.push_back({"sse2", reducePairSse2, true});
    all.push_back({"avx2", reducePairAvx2, cpuHasAvx2()});
#endif
    return all;
}

// Runs the kernel into a destination `misalignment` floats past a 64-byte boundary, between
// guards that must stay unwritten, and checks every element's bits.
void expectReduction(const Kernel& kernel, const Volume& pair, const std::vector<float>& expected) {
    for (std::size_t misalignment : {0, 1, 4, 12, 15}) {
        SCOPED_TRACE("destination " + std::to_string(4 * misalignment) + " bytes past a 64-byte boundary");
        std::vector<std::uint32_t> memory(kReducedSliceElements + 2 * kGuard + 32, kUnwritten);
        const std::size_t start = (64 - reinterpret_cast<std::uintptr_t>(memory.data()) % 64) % 64 / 4 + kGuard + misalignment;
        float* slice = reinterpret_cast<float*>(memory.data() + start);
        kernel.reduce(pair.data(), slice);
        std::string mismatch;
        EXPECT_TRUE(sameBits(expected, slice, &mismatch)) << mismatch;
        for (std::size_t i = 1; i <= kGuard; ++i) {
            ASSERT_EQ(memory[start - i], kUnwritten) << "written " << i << " before the slice";
            ASSERT_EQ(memory[start + kReducedSliceElements - 1 + i], kUnwritten) << "written " << i << " past the slice";
        }
    }
}

class Kernels : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!GetParam().runsHere) {
            GTEST_SKIP() << "this CPU can't run the " << GetParam().name << " kernel";
        }
    }
};

TEST_P(Kernels, MatchThePlainBlockMeanOnRandomPairs) {
    for (std::uint32_t seed : {1u, 20261208u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Volume pair = randomVolume(seed, kPairSamples);
        expectReduction(GetParam(), pair, referenceReduction(pair));
    }
}

// The blocks where a fast division or a narrow sum goes wrong: the range's ends, and the small
// sums where truncating toward zero differs from shifting (flooring) and must give +0.0.
struct ExtremeBlock {
    std::int16_t sample;  // all eight samples, or 0 when `sum` is spread over them instead
    std::int32_t sum;
    float mean;
};

constexpr ExtremeBlock kExtremeBlocks[] = {
    {-32768, 0, -32768.0f}, {32767, 0, 32767.0f},
    {0, -1, 0.0f}, {0, -2, 0.0f}, {0, -3, 0.0f}, {0, -4, 0.0f}, {0, -5, 0.0f}, {0, -6, 0.0f}, {0, -7, 0.0f},
    {0, -8, -1.0f}, {0, -9, -1.0f},
    {0, 7, 0.0f}, {0, 8, 1.0f}, {0, 9, 1.0f}, {0, 10, 1.0f}, {0, 11, 1.0f}, {0, 12, 1.0f}, {0, 13, 1.0f},
    {0, 14, 1.0f}, {0, 15, 1.0f}, {0, 16, 2.0f},
};
constexpr std::size_t kExtremeCount = sizeof kExtremeBlocks / sizeof kExtremeBlocks[0];

// Neighbouring blocks, in r as in c, get different cases; a small sum sits in one sample at a
// position that moves from block to block, or beside a +32767/-32767 pair that cancels out.
TEST_P(Kernels, GiveTheTruncatedMeanOfExtremeBlocks) {
    Volume pair(kPairSamples, 0);
    std::vector<float> expected(kReducedSliceElements);
    for (std::size_t r = 0; r < 256; ++r) {
        for (std::size_t c = 0; c < 256; ++c) {
            const ExtremeBlock& block = kExtremeBlocks[(r + 5 * c) % kExtremeCount];
            const std::size_t position = (r + 3 * c) % 8;
            std::int16_t* samples[8];
            for (std::size_t k = 0; k < 8; ++k) {
                samples[k] = &sampleAt(pair, 2 * c + k % 2, 2 * r + (k / 2) % 2, k / 4);
            }
            if (block.sample != 0) {
                for (std::int16_t* sample : samples) {
                    *sample = block.sample;
                }
            } else {
                *samples[position] = static_cast<std::int16_t>(block.sum);
                if ((r ^ c) & 1) {
                    *samples[(position + 1) % 8] = 32767;
                    *samples[(position + 2) % 8] = -32767;
                }
            }
            expected[r + 256 * c] = block.mean;
        }
    }
    expectReduction(GetParam(), pair, expected);
}

INSTANTIATE_TEST_SUITE_P(ThisMachine, Kernels, ::testing::ValuesIn(kernels()),
                         [](const ::testing::TestParamInfo<Kernel>& info) { return std::string(info.param.name); });

// The sweep, reading whole files.

constexpr std::size_t kWholeFile = 268435456;
constexpr std::size_t kPairBytes = 1048576;
constexpr std::size_t kSliceBytes = 524288;

// An open file, zero (and sparse on disk) except for the bytes a test writes into it.
struct RawFile {
    std::FILE* stream;
    RawFile(const std::string& name, std::size_t bytes) : stream(openFile(sparseFile(name, bytes), "r+b")) {}
    ~RawFile() { std::fclose(stream); }
    void write(std::size_t offset, const std::vector<unsigned char>& bytes) {
        if (bytes.empty()) {
            return;
        }
        std::fseek(stream, static_cast<long>(offset), SEEK_SET);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), stream), bytes.size());
        std::fflush(stream);
    }
    // Low byte first, whatever the CPU running the test.
    void setSample(std::size_t x, std::size_t y, std::size_t z, std::int16_t value) {
        const auto bits = static_cast<std::uint16_t>(value);
        write(2 * (x + 512 * y + 262144 * z), {static_cast<unsigned char>(bits & 0xFF), static_cast<unsigned char>(bits >> 8)});
    }
    // The eight samples of the block whose first sample is (x, y, z), in file order.
    void setBlock(std::size_t x, std::size_t y, std::size_t z, const std::array<std::int16_t, 8>& samples) {
        for (std::size_t i = 0; i < 8; ++i) {
            setSample(x + (i & 1), y + ((i >> 1) & 1), z + (i >> 2), samples[i]);
        }
    }
};

struct Sweep {
    bool complete = false;
    std::string transcript;
    std::vector<float> reduced;
};

// Runs the sweep into a destination full of NaN, so an element left unwritten stands out.
Sweep sweep(std::FILE* stream, bool showProgress) {
    Sweep result;
    result.reduced.assign(kReducedElements, NAN);
    standinClearTranscript();
    result.complete = resampleVolume(stream, result.reduced.data(), showProgress);
    result.transcript = standinTranscript();
    return result;
}

struct BlockCase {
    const char* name;
    std::size_t x, y, z;  // the block's first file sample
    std::array<std::int16_t, 8> samples;
    std::size_t index;  // the one reduced element it must reach
    float mean;
};

// Every block sits in a volume of zeros; it must show up in its own element and nowhere else.
void expectBlocksAlone(const std::vector<BlockCase>& cases, std::size_t extraBytes) {
    RawFile file("blocks.raw", kWholeFile + extraBytes);
    file.write(kWholeFile, std::vector<unsigned char>(extraBytes, 0x7F));
    std::vector<float> expected(kReducedElements, 0.0f);
    for (const BlockCase& block : cases) {
        file.setBlock(block.x, block.y, block.z, block.samples);
        expected[block.index] = block.mean;
    }
    std::fseek(file.stream, 0, SEEK_END);
    const Sweep result = sweep(file.stream, false);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.transcript, "");
    std::string mismatch;
    for (const BlockCase& block : cases) {
        EXPECT_TRUE(sameBits({block.mean}, &result.reduced[block.index], &mismatch)) << block.name << ": " << mismatch;
    }
    EXPECT_TRUE(sameBits(expected, result.reduced.data(), &mismatch)) << mismatch << ", or took samples of another block";
}

// Samples weighted 8, 16 ... 1024 sum to 2040 only when all eight reach the same element.
constexpr std::array<std::int16_t, 8> kWeighted = {8, 16, 32, 64, 128, 256, 512, 1024};

TEST(Layout, ElementsTakeFileRowsAlongTheFirstAxisAndColumnsAlongTheSecond) {
    expectBlocksAlone(
        {
            {"index 1: columns 0-1 of rows 2-3", 0, 2, 0, kWeighted, 1, 255.0f},
            {"index 256: columns 2-3 of rows 0-1", 2, 0, 0, kWeighted, 256, 255.0f},
            {"index 65536: slices 2-3", 0, 0, 2, kWeighted, 65536, 255.0f},
            {"index 16777215: the file's last samples", 510, 510, 510, kWeighted, 16777215, 255.0f},
            {"index 4325762: column 2, row 260, slice 132", 2, 260, 132, kWeighted, 4325762, 255.0f},
        },
        4096);
}

TEST(BlockMean, TruncatesTheSumOfEightSamplesTowardZero) {
    // Each case in its own block of output slice 100, down the first column.
    std::vector<BlockCase> cases;
    const auto add = [&cases](const char* name, const std::array<std::int16_t, 8>& samples, float mean) {
        cases.push_back({name, 0, 2 * cases.size(), 200, samples, 6553600 + cases.size(), mean});
    };
    add("eight 00 80 pairs", {-32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768}, -32768.0f);
    add("eight FF 7F pairs", {32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767}, 32767.0f);
    add("sum -1", {0, 0, 0, 0, 0, 0, 0, -1}, 0.0f);
    add("sum -7", {-1, -1, -1, -1, -1, -1, -1, 0}, 0.0f);
    add("sum -8", {-1, -1, -1, -1, -1, -1, -1, -1}, -1.0f);
    add("sum -9", {-2, -1, -1, -1, -1, -1, -1, -1}, -1.0f);
    add("sum 7", {0, 1, 1, 1, 1, 1, 1, 1}, 0.0f);
    add("sum 15", {1, 2, 2, 2, 2, 2, 2, 2}, 1.0f);
    add("sum 16", {2, 2, 2, 2, 2, 2, 2, 2}, 2.0f);
    add("sum -4 from the extremes", {-32768, 32767, -32768, 32767, -32768, 32767, -32768, 32767}, 0.0f);
    add("sum -196609", {-32768, -32768, -32768, -32768, -32768, -32768, -32768, 32767}, -24576.0f);
    expectBlocksAlone(cases, 0);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Transcript, ShowsAProgressLineAndARedrawBeforeEachPairAndTheShortFileLineLast) {
    const struct {
        std::size_t fileBytes;
        bool showProgress;
        std::size_t progressLines;
        bool reportsShortFile;
    } cases[] = {
        {kWholeFile, false, 0, false},
        {kWholeFile, true, 256, false},
        {kPairBytes, false, 0, true},
        {kPairBytes, true, 256, true},
    };
    const std::pair<std::size_t, const char*> knownTexts[] = {{0, "0.00"}, {1, "0.39"}, {2, "0.78"}, {128, "50.00"}, {255, "99.61"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.fileBytes << " bytes, progress " << c.showProgress);
        RawFile file("transcript.raw", c.fileBytes);
        const Sweep result = sweep(file.stream, c.showProgress);
        EXPECT_EQ(result.complete, !c.reportsShortFile);
        const std::vector<std::string> lines = linesOf(result.transcript);
        ASSERT_EQ(lines.size(), 2 * c.progressLines + (c.reportsShortFile ? 1 : 0)) << result.transcript;
        for (std::size_t s = 0; s < c.progressLines; ++s) {
            const std::string& line = lines[2 * s];
            ASSERT_EQ(line.rfind("Resample Progress : ", 0), 0u) << line;
            ASSERT_EQ(line.substr(line.size() - 8), " percent") << line;
            EXPECT_NEAR(std::strtod(line.c_str() + 20, nullptr), 0.390625 * static_cast<double>(s), 0.00501) << line;  // halfway values may go either way
            ASSERT_EQ(lines[2 * s + 1], ">> drawnow;");
        }
        for (const auto& [s, text] : knownTexts) {
            if (s < c.progressLines) {
                EXPECT_EQ(lines[2 * s], std::string("Resample Progress : ") + text + " percent");
            }
        }
        if (c.reportsShortFile) {
            EXPECT_EQ(lines.back(), "Couldn't read 268435456 bytes from file!");
        }
    }
}

TEST(ShortFile, SamplesPastTheEndCountAsZeroNotAsThePreviousPair) {
    // Every delivered sample is 8, so a whole block means 8 and a block missing one slice means 4.
    const struct {
        const char* name;
        std::size_t fileBytes;
        std::function<float(std::size_t r, std::size_t s)> expected;
    } cases[] = {
        {"empty", 0, [](std::size_t, std::size_t) { return 0.0f; }},
        {"one byte into pair 1", kPairBytes + 1, [](std::size_t, std::size_t s) { return s == 0 ? 8.0f : 0.0f; }},
        {"half of slice 2", kPairBytes + kSliceBytes / 2,
         [](std::size_t r, std::size_t s) { return s == 0 ? 8.0f : s == 1 && r < 128 ? 4.0f : 0.0f; }},
        {"half of slice 3", kPairBytes + kSliceBytes + kSliceBytes / 2,
         [](std::size_t r, std::size_t s) { return s == 0 || (s == 1 && r < 128) ? 8.0f : s == 1 ? 4.0f : 0.0f; }},
    };
    for (const auto& c : cases) {
        RawFile file("short.raw", 0);
        std::vector<unsigned char> eights(c.fileBytes);
        for (std::size_t i = 0; i < eights.size(); i += 2) {
            eights[i] = 8;
        }
        file.write(0, eights);
        const Sweep result = sweep(file.stream, false);
        EXPECT_FALSE(result.complete) << c.name;
        EXPECT_EQ(result.transcript, "Couldn't read 268435456 bytes from file!\n") << c.name;
        std::vector<float> expected(kReducedElements);
        for (std::size_t i = 0; i < kReducedElements; ++i) {
            expected[i] = c.expected(i % 256, i / 65536);
        }
        std::string mismatch;
        EXPECT_TRUE(sameBits(expected, result.reduced.data(), &mismatch)) << c.name << ", " << mismatch;
    }
}

}  // namespace
}  // namespace quarnel::testing
