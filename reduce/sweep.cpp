#include "sweep.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace quarnel {

namespace {

// The most levels any volume has: an edge of kMostEdge halves 15 times before it reaches 1.
constexpr std::size_t kMostLevels = 15;

template <typename T>
using Buffer = std::unique_ptr<T[]>;

template <typename T>
Buffer<T> allocate(std::size_t count) {
    return Buffer<T>(new (std::nothrow) T[count]);
}

// On some CPUs the kernel copies a read into memory several times slower when the destination
// starts just past a page boundary, which is where a fresh heap puts a large block.
constexpr std::size_t kPageBytes = 4096;

struct FreeSlice {
    void operator()(unsigned char* slice) const { std::free(slice); }
};

std::unique_ptr<unsigned char[], FreeSlice> allocateSlice(std::size_t bytes) {
    return std::unique_ptr<unsigned char[], FreeSlice>(
        static_cast<unsigned char*>(std::aligned_alloc(kPageBytes, (bytes + kPageBytes - 1) / kPageBytes * kPageBytes)));
}

// Sample i of a row, from its bytes as the file holds them: a big-endian file's swapped, as the
// CPU is little-endian.
template <typename Sample, bool swapped>
inline Sample sampleAt(const unsigned char* samples, std::size_t i) {
    using Bits = std::conditional_t<sizeof(Sample) == 1, std::uint8_t,
                                    std::conditional_t<sizeof(Sample) == 2, std::uint16_t, std::uint32_t>>;
    Bits bits;
    std::memcpy(&bits, samples + i * sizeof(Sample), sizeof bits);
    if constexpr (swapped && sizeof(Bits) == 2) {
        bits = static_cast<Bits>(bits >> 8 | bits << 8);
    } else if constexpr (swapped && sizeof(Bits) == 4) {
        bits = bits >> 24 | (bits >> 8 & 0xFF00u) | (bits << 8 & 0xFF0000u) | bits << 24;
    }
    Sample sample;
    std::memcpy(&sample, &bits, sizeof sample);
    return sample;
}

// A row of the volume's samples, and a row of a level's sums, each element as the sum type of the
// level it goes into.
template <typename Sample, bool swapped, typename Sum>
struct SampleRow {
    const unsigned char* bytes;
    Sum operator[](std::size_t i) const { return static_cast<Sum>(sampleAt<Sample, swapped>(bytes, i)); }
};

template <typename Stored, typename Sum>
struct SumRow {
    const Stored* sums;
    Sum operator[](std::size_t i) const { return static_cast<Sum>(sums[i]); }
};

// a + b, which of two NaNs gives the first: as x86 and arm64 add, and NumPy with them, whichever
// operand of + the compiler puts first. The sum is made whatever a is, so that the choice is a
// select the compiler can make in vector registers.
struct NaNFirstPlus {
    template <typename Sum>
    Sum operator()(Sum a, Sum b) const {
        const Sum sum = a + b;
        if constexpr (std::is_floating_point_v<Sum>) {
            return std::isnan(a) ? a : sum;
        } else {
            return sum;
        }
    }
};

struct PlainPlus {
    template <typename Sum>
    Sum operator()(Sum a, Sum b) const {
        return a + b;
    }
};

// The sum of block c of two rows, pairs along x added first and then along y.
template <typename Plus, typename Row>
auto blockSum(const Row& top, const Row& bottom, std::size_t c) {
    const Plus plus;
    return plus(plus(top[2 * c], top[2 * c + 1]), plus(bottom[2 * c], bottom[2 * c + 1]));
}

// The sums of the 2 x 2 blocks of two rows into one row of a level's sums: stored for the first
// slice of a pair, added to for the second.
template <typename Plus, typename Sum, typename Row>
void addBlockRow(const Row& top, const Row& bottom, std::size_t width, Sum* sums, bool firstOfPair) {
    if (firstOfPair) {
        for (std::size_t c = 0; c < width; ++c) sums[c] = blockSum<Plus>(top, bottom, c);
    } else {
        for (std::size_t c = 0; c < width; ++c) sums[c] = Plus{}(sums[c], blockSum<Plus>(top, bottom, c));
    }
}

// Which of two NaNs a sum gives matters only where NaNs meet: a row of double sums is made with a
// plain +, and each sum that came out NaN is made again with NaNFirstPlus, from the sum it was added
// to (kept in `earlier`). The select of NaNFirstPlus on every sum would double the cost of a row.
template <typename Sum, typename Row>
void addBlockRow(const Row& top, const Row& bottom, std::size_t width, Sum* sums, bool firstOfPair, Sum* earlier) {
    if constexpr (std::is_floating_point_v<Sum>) {
        if (!firstOfPair) std::copy(sums, sums + width, earlier);
        addBlockRow<PlainPlus>(top, bottom, width, sums, firstOfPair);
        for (std::size_t c = 0; c < width; ++c) {
            if (!std::isnan(sums[c])) continue;
            const Sum block = blockSum<NaNFirstPlus>(top, bottom, c);
            sums[c] = firstOfPair ? block : NaNFirstPlus{}(earlier[c], block);
        }
    } else {
        addBlockRow<NaNFirstPlus>(top, bottom, width, sums, firstOfPair);
    }
}

// One level: its edges, the sums of the slice it is summing, and the means of the one it summed;
// for double sums, room for a row of them as they were before a slice was added.
template <typename Sum>
struct Level {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t depth = 0;
    Buffer<Sum> sums;
    Buffer<float> means;
    Buffer<Sum> earlierRow;

    bool make(const RawLayout& layout, std::size_t level) {
        const std::array<std::uint32_t, 3> edges = levelEdges(layout, level);
        width = edges[0];
        height = edges[1];
        depth = edges[2];
        sums = allocate<Sum>(width * height);
        means = allocate<float>(width * height);
        if constexpr (std::is_floating_point_v<Sum>) {
            earlierRow = allocate<Sum>(width);
            if (earlierRow == nullptr) return false;
        }
        return sums != nullptr && means != nullptr;
    }
};

// A level's blocks hold 2^(3 (level + 1)) samples. Integer sums are divided by shifting, with the
// bias that makes the shift truncate toward zero as integer division does; double sums are scaled
// by the power of two's reciprocal, which divides exactly as well.
template <typename Sum>
void computeMeans(Level<Sum>& level, std::size_t index) {
    const auto shift = static_cast<unsigned>(3 * (index + 1));
    const std::size_t count = level.width * level.height;
    const Sum* sums = level.sums.get();
    float* means = level.means.get();
    if constexpr (std::is_floating_point_v<Sum>) {
        const double reciprocal = 1.0 / static_cast<double>(std::uint64_t{1} << shift);
        for (std::size_t i = 0; i < count; ++i) {
            means[i] = static_cast<float>(sums[i] * reciprocal);
        }
    } else {
        const Sum towardZero = (Sum{1} << shift) - 1;
        for (std::size_t i = 0; i < count; ++i) {
            means[i] = static_cast<float>((sums[i] + (sums[i] < 0 ? towardZero : 0)) >> shift);
        }
    }
}

// Levels 1 and on; level k is coarser[k - 1].
template <typename Sum>
using CoarserLevels = std::array<Level<Sum>, kMostLevels - 1>;

// Slice `slice` of level `index` is summed: its means go to the sink, and its sums into the level
// after. False once the sink asks to stop.
template <typename LevelSum, typename Sum>
bool completeSlice(Level<LevelSum>& level, std::size_t index, std::size_t slice, CoarserLevels<Sum>& coarser, std::size_t levels,
                   const SliceSink& sink) {
    computeMeans(level, index);
    if (!sink(index, slice, level.means.get())) return false;
    if (index + 1 == levels) return true;
    Level<Sum>& next = coarser[index];
    if (slice >= 2 * next.depth) return true;  // the last slice of an odd depth: no block takes it
    for (std::size_t r = 0; r < next.height; ++r) {
        const LevelSum* top = level.sums.get() + 2 * r * level.width;
        addBlockRow(SumRow<LevelSum, Sum>{top}, SumRow<LevelSum, Sum>{top + level.width}, next.width, next.sums.get() + r * next.width,
                    slice % 2 == 0, next.earlierRow.get());
    }
    return slice % 2 == 0 || completeSlice(next, index + 1, slice / 2, coarser, levels, sink);
}

// Integer samples sum exactly in int32 over a 2 x 2 x 2 block, as over any block of the first five
// levels (8^5 samples of 65535 at most), and in int64 over those of deeper levels (Sum); float32
// samples sum in double.
template <typename Sample, bool swapped, typename Sum>
SweepOutcome sweepSamples(std::FILE* input, const RawLayout& layout, std::size_t levels, const SliceSink& sink) {
    constexpr bool kFloat = std::is_floating_point_v<Sample>;
    using FirstSum = std::conditional_t<kFloat, double, std::int32_t>;
    const std::size_t rowBytes = std::size_t{layout.edges[0]} * sizeof(Sample);
    const std::size_t sliceBytes = rowBytes * layout.edges[1];
    const auto slice = allocateSlice(sliceBytes);
    Level<FirstSum> first;
    CoarserLevels<Sum> coarser;
    bool allocated = slice != nullptr && first.make(layout, 0);
    for (std::size_t level = 1; level < levels; ++level) {
        allocated = allocated && coarser[level - 1].make(layout, level);
    }
    if (!allocated) return SweepOutcome::noMemory;
    if (std::fseek(input, static_cast<long>(layout.headerBytes), SEEK_SET) != 0) return SweepOutcome::shortRead;
    for (std::size_t z = 0; z < 2 * first.depth; ++z) {
        if (std::fread(slice.get(), 1, sliceBytes, input) != sliceBytes) return SweepOutcome::shortRead;
        using Row = SampleRow<Sample, swapped, FirstSum>;
        for (std::size_t r = 0; r < first.height; ++r) {
            const unsigned char* top = slice.get() + 2 * r * rowBytes;
            addBlockRow(Row{top}, Row{top + rowBytes}, first.width, first.sums.get() + r * first.width, z % 2 == 0,
                        first.earlierRow.get());
        }
        if (z % 2 == 1 && !completeSlice(first, 0, z / 2, coarser, levels, sink)) return SweepOutcome::stopped;
    }
    return SweepOutcome::done;
}

// The sweep for integer samples with the narrowest sums that are exact for the levels asked for.
template <typename Sample, bool swapped>
SweepOutcome sweepIntegers(std::FILE* input, const RawLayout& layout, std::size_t levels, const SliceSink& sink) {
    return levels <= 5 ? sweepSamples<Sample, swapped, std::int32_t>(input, layout, levels, sink)
                       : sweepSamples<Sample, swapped, std::int64_t>(input, layout, levels, sink);
}

}  // namespace

SweepOutcome sweepVolume(std::FILE* input, const RawLayout& layout, std::size_t levels, const SliceSink& sink) {
    const bool big = layout.byteOrder == ByteOrder::big;
    switch (layout.type) {
        case SampleType::int16:
            return big ? sweepIntegers<std::int16_t, true>(input, layout, levels, sink)
                       : sweepIntegers<std::int16_t, false>(input, layout, levels, sink);
        case SampleType::uint16:
            return big ? sweepIntegers<std::uint16_t, true>(input, layout, levels, sink)
                       : sweepIntegers<std::uint16_t, false>(input, layout, levels, sink);
        case SampleType::uint8: return sweepIntegers<std::uint8_t, false>(input, layout, levels, sink);
        case SampleType::float32:
            return big ? sweepSamples<float, true, double>(input, layout, levels, sink)
                       : sweepSamples<float, false, double>(input, layout, levels, sink);
    }
    return SweepOutcome::done;
}

}  // namespace quarnel
