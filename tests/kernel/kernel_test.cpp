// Every kernel that can reduce a slice pair on this machine, against the block mean done the
// plain way, bit for bit, into destinations aligned as well and as badly as a host may give them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "reduce_pair.h"

namespace quarnel::testing {
namespace {

constexpr std::size_t kPairSamples = 2 * 512 * 512;
constexpr std::size_t kSliceElements = 256 * 256;
constexpr std::size_t kGuard = 64;
constexpr std::uint32_t kUnwritten = 0x7FC0DEADu;  // a NaN no kernel can produce

using Pair = std::vector<std::int16_t>;

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

std::int16_t& sampleAt(Pair& pair, std::size_t x, std::size_t y, std::size_t z) {
    return pair[x + 512 * y + 262144 * z];
}

std::vector<float> plainReduction(Pair pair) {
    std::vector<float> slice(kSliceElements);
    for (std::size_t r = 0; r < 256; ++r) {
        for (std::size_t c = 0; c < 256; ++c) {
            std::int32_t sum = 0;
            for (std::size_t z = 0; z < 2; ++z) {
                for (std::size_t y = 2 * r; y < 2 * r + 2; ++y) {
                    sum += sampleAt(pair, 2 * c, y, z) + sampleAt(pair, 2 * c + 1, y, z);
                }
            }
            slice[r + 256 * c] = static_cast<float>(sum / 8);
        }
    }
    return slice;
}

Pair randomPair(std::uint32_t seed) {
    std::mt19937 generator(seed);
    Pair pair(kPairSamples);
    for (auto& sample : pair) {
        sample = static_cast<std::int16_t>(generator() & 0xFFFF);
    }
    return pair;
}

std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Runs the kernel into a destination `misalignment` floats past a 64-byte boundary, between
// guards that must stay unwritten, and checks every element's bits.
void expectReduction(const Kernel& kernel, const Pair& pair, const std::vector<float>& expected) {
    for (std::size_t misalignment : {0, 1, 4, 12, 15}) {
        SCOPED_TRACE("destination " + std::to_string(4 * misalignment) + " bytes past a 64-byte boundary");
        std::vector<std::uint32_t> memory(kSliceElements + 2 * kGuard + 32, kUnwritten);
        auto* aligned = reinterpret_cast<float*>((reinterpret_cast<std::uintptr_t>(memory.data()) + 63) & ~std::uintptr_t{63});
        float* slice = aligned + kGuard + misalignment;
        kernel.reduce(pair.data(), slice);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < kSliceElements && mismatches < 5; ++i) {
            if (bitsOf(slice[i]) != bitsOf(expected[i])) {
                ++mismatches;
                ADD_FAILURE() << "element r " << i % 256 << ", c " << i / 256 << ": expected " << expected[i]
                              << " (bits " << std::hex << bitsOf(expected[i]) << "), got " << slice[i] << " (bits "
                              << bitsOf(slice[i]) << std::dec << ")";
            }
        }
        for (std::size_t i = 1; i <= kGuard; ++i) {
            ASSERT_EQ(bitsOf(slice[-static_cast<std::ptrdiff_t>(i)]), kUnwritten) << "written " << i << " before the slice";
            ASSERT_EQ(bitsOf(slice[kSliceElements - 1 + i]), kUnwritten) << "written " << i << " past the slice";
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
        const Pair pair = randomPair(seed);
        expectReduction(GetParam(), pair, plainReduction(pair));
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
    Pair pair(kPairSamples, 0);
    std::vector<float> expected(kSliceElements);
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

}  // namespace
}  // namespace quarnel::testing
