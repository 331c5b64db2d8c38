// Reducing a slice pair fast without changing a bit of the result.
//
// The reduced layout puts r fastest, while the samples of one output row r lie along file rows
// 2r and 2r+1. Walking r innermost straight from the buffer makes eight strided loads per
// element; walking c innermost makes the stores strided instead. Every kernel here therefore
// works in tiles of up to kTileRows output rows: it sums each row's blocks along the file's rows,
// where the samples are contiguous, into a small tile, then copies the tile out column by column,
// each column being kTileRows contiguous floats of the destination. That is one whole 64-byte
// cache line when the tile starts at a line boundary; hosts seldom align arrays to 64 bytes, so
// a short first tile reaches the first boundary and a short last tile takes the rows that remain.
// The tile, 16 KiB on the stack, is all the memory a pair needs beyond the slice-pair buffer.
//
// The arithmetic is the block mean's own: exact int32 sums, a division by 8 truncating toward
// zero, one exact conversion to float. So every kernel gives the same bits on every CPU.
#include "reduce_pair.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "volume.h"

#if QUARNEL_X86_64_KERNELS
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

namespace quarnel {

namespace {

constexpr std::size_t kTileRows = 16;
constexpr std::size_t kSamplesPerRowPair = 2 * kSamplesPerRow;  // the two file rows of one output row

using Tile = float[kTileRows][kOutputEdge];

// Columns lie 1 KiB apart, so every column of every slice meets a line boundary at this row.
std::size_t rowsBeforeLineBoundary(const float* destinationSlice) {
    const auto address = reinterpret_cast<std::uintptr_t>(destinationSlice);
    return (64 - address % 64) % 64 / sizeof(float);
}

std::size_t tileRowCount(std::size_t firstRow, std::size_t rowsBeforeBoundary) {
    return firstRow < rowsBeforeBoundary ? rowsBeforeBoundary - firstRow
                                         : std::min(kTileRows, kOutputEdge - firstRow);
}

void copyTile(const Tile& tile, std::size_t rows, float* tileDestination) {
    for (std::size_t c = 0; c < kOutputEdge; ++c) {
        float* column = tileDestination + kOutputEdge * c;
        for (std::size_t t = 0; t < rows; ++t) {
            column[t] = tile[t][c];
        }
    }
}

}  // namespace

void reducePairPortable(const std::int16_t* pair, float* destinationSlice) {
    alignas(64) Tile tile;
    const std::size_t rowsBeforeBoundary = rowsBeforeLineBoundary(destinationSlice);
    for (std::size_t firstRow = 0, rows = 0; firstRow < kOutputEdge; firstRow += rows) {
        rows = tileRowCount(firstRow, rowsBeforeBoundary);
        for (std::size_t t = 0; t < rows; ++t) {
            const std::int16_t* lowerTop = pair + kSamplesPerRowPair * (firstRow + t);
            const std::int16_t* lowerBottom = lowerTop + kSamplesPerRow;
            const std::int16_t* upperTop = lowerTop + kSamplesPerSlice;
            const std::int16_t* upperBottom = upperTop + kSamplesPerRow;
            // Contiguous in c, so compilers vectorize it for whatever SIMD the target has.
            for (std::size_t c = 0; c < kOutputEdge; ++c) {
                const std::size_t x = 2 * c;
                const std::int32_t sum = lowerTop[x] + lowerTop[x + 1] + lowerBottom[x] + lowerBottom[x + 1] +
                                         upperTop[x] + upperTop[x + 1] + upperBottom[x] + upperBottom[x + 1];
                tile[t][c] = blockMean(sum);
            }
        }
        copyTile(tile, rows, destinationSlice + firstRow);
    }
}

#if QUARNEL_X86_64_KERNELS

// The intrinsics below need no compiler option: SSE2 is part of every x86-64 CPU, and the AVX2
// kernel is compiled for AVX2 on its own and only run where cpuHasAvx2() says so. MSVC compiles
// any intrinsic without being asked.
#if defined(__GNUC__) || defined(__clang__)
#define QUARNEL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define QUARNEL_TARGET_AVX2
#endif

namespace {

// _mm_madd_epi16 with ones adds each pair of neighbouring int16 samples, the two columns of a
// block, into one int32 without overflow; four of them cover the block's two rows and two slices.
// A negative sum gets 7 added before the arithmetic shift, which makes the shift truncate toward
// zero as the integer division does.
inline __m128i pairSumsSse2(const std::int16_t* samples) {
    return _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(samples)), _mm_set1_epi16(1));
}

// Means of the four blocks whose lower-slice top-row samples start at `lowerTop`.
inline __m128 blockMeansSse2(const std::int16_t* lowerTop) {
    const __m128i sum = _mm_add_epi32(
        _mm_add_epi32(pairSumsSse2(lowerTop), pairSumsSse2(lowerTop + kSamplesPerRow)),
        _mm_add_epi32(pairSumsSse2(lowerTop + kSamplesPerSlice),
                      pairSumsSse2(lowerTop + kSamplesPerSlice + kSamplesPerRow)));
    const __m128i towardZero = _mm_srli_epi32(_mm_srai_epi32(sum, 31), 29);
    return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_add_epi32(sum, towardZero), 3));
}

// Four rows by four columns at a time, turned so each register holds four rows of one column.
// 16-byte stores never straddle a cache line in a 16-byte aligned array, as most hosts give.
// Other tile heights, which only a destination not aligned to 16 bytes brings, go one by one.
void copyTileSse2(const Tile& tile, std::size_t rows, float* tileDestination) {
    if (rows % 4 != 0) {
        copyTile(tile, rows, tileDestination);
        return;
    }
    for (std::size_t c = 0; c < kOutputEdge; c += 4) {
        float* column = tileDestination + kOutputEdge * c;
        for (std::size_t t = 0; t < rows; t += 4) {
            __m128 c0 = _mm_load_ps(&tile[t][c]);
            __m128 c1 = _mm_load_ps(&tile[t + 1][c]);
            __m128 c2 = _mm_load_ps(&tile[t + 2][c]);
            __m128 c3 = _mm_load_ps(&tile[t + 3][c]);
            _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
            _mm_storeu_ps(column + t, c0);
            _mm_storeu_ps(column + kOutputEdge + t, c1);
            _mm_storeu_ps(column + 2 * kOutputEdge + t, c2);
            _mm_storeu_ps(column + 3 * kOutputEdge + t, c3);
        }
    }
}

// Storing into lines that aren't in cache stalls the copy-out on memory. So while a tile's rows
// are summed, the lines it will fill are fetched: after row t, those of the t-th sixteenth of the
// columns. They go to the second-level cache, which can have many more fetches in flight than the
// first; fetched into the first, they came a third slower.
inline void prefetchTileLines(const float* tileDestination, std::size_t t) {
    constexpr std::size_t kColumnsPerRow = kOutputEdge / kTileRows;
    for (std::size_t c = kColumnsPerRow * t; c < kColumnsPerRow * (t + 1); ++c) {
        _mm_prefetch(reinterpret_cast<const char*>(tileDestination + kOutputEdge * c), _MM_HINT_T1);
    }
}

QUARNEL_TARGET_AVX2 inline __m256i pairSumsAvx2(const std::int16_t* samples) {
    return _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples)), _mm256_set1_epi16(1));
}

// Means of the eight blocks whose lower-slice top-row samples start at `lowerTop`.
QUARNEL_TARGET_AVX2 inline __m256 blockMeansAvx2(const std::int16_t* lowerTop) {
    const __m256i sum = _mm256_add_epi32(
        _mm256_add_epi32(pairSumsAvx2(lowerTop), pairSumsAvx2(lowerTop + kSamplesPerRow)),
        _mm256_add_epi32(pairSumsAvx2(lowerTop + kSamplesPerSlice),
                         pairSumsAvx2(lowerTop + kSamplesPerSlice + kSamplesPerRow)));
    const __m256i towardZero = _mm256_srli_epi32(_mm256_srai_epi32(sum, 31), 29);
    return _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_add_epi32(sum, towardZero), 3));
}

// Rows t..t+3 of columns c..c+3 in the low half, rows t+4..t+7 in the high half.
QUARNEL_TARGET_AVX2 inline __m256 tileRowsAvx2(const Tile& tile, std::size_t t, std::size_t c) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(&tile[t][c])), _mm_load_ps(&tile[t + 4][c]), 1);
}

// A whole tile, eight rows at a time: the SSE 4 x 4 turn done in both halves at once leaves eight
// rows of one column in each register, two of which fill the column's cache line.
QUARNEL_TARGET_AVX2 void copyWholeTileAvx2(const Tile& tile, float* tileDestination) {
    for (std::size_t c = 0; c < kOutputEdge; c += 4) {
        float* column = tileDestination + kOutputEdge * c;
        for (std::size_t t = 0; t < kTileRows; t += 8) {
            const __m256 r0 = tileRowsAvx2(tile, t, c), r1 = tileRowsAvx2(tile, t + 1, c);
            const __m256 r2 = tileRowsAvx2(tile, t + 2, c), r3 = tileRowsAvx2(tile, t + 3, c);
            const __m256 low01 = _mm256_unpacklo_ps(r0, r1), high01 = _mm256_unpackhi_ps(r0, r1);
            const __m256 low23 = _mm256_unpacklo_ps(r2, r3), high23 = _mm256_unpackhi_ps(r2, r3);
            _mm256_storeu_ps(column + t, _mm256_shuffle_ps(low01, low23, _MM_SHUFFLE(1, 0, 1, 0)));
            _mm256_storeu_ps(column + kOutputEdge + t, _mm256_shuffle_ps(low01, low23, _MM_SHUFFLE(3, 2, 3, 2)));
            _mm256_storeu_ps(column + 2 * kOutputEdge + t, _mm256_shuffle_ps(high01, high23, _MM_SHUFFLE(1, 0, 1, 0)));
            _mm256_storeu_ps(column + 3 * kOutputEdge + t, _mm256_shuffle_ps(high01, high23, _MM_SHUFFLE(3, 2, 3, 2)));
        }
    }
}

// One output row into the tile: the 256 block means whose lower-slice top-row samples start at
// `lowerTop`.
void rowMeansSse2(const std::int16_t* lowerTop, float* tileRow) {
    for (std::size_t c = 0; c < kOutputEdge; c += 4) {
        _mm_store_ps(tileRow + c, blockMeansSse2(lowerTop + 2 * c));
    }
}

QUARNEL_TARGET_AVX2 void rowMeansAvx2(const std::int16_t* lowerTop, float* tileRow) {
    for (std::size_t c = 0; c < kOutputEdge; c += 8) {
        _mm256_store_ps(tileRow + c, blockMeansAvx2(lowerTop + 2 * c));
    }
}

QUARNEL_TARGET_AVX2 void copyTileAvx2(const Tile& tile, std::size_t rows, float* tileDestination) {
    if (rows == kTileRows) {
        copyWholeTileAvx2(tile, tileDestination);
    } else {
        copyTileSse2(tile, rows, tileDestination);
    }
}

// The walk over the tiles that the SSE2 and AVX2 kernels share. The AVX2 steps are called rather
// than inlined here, as code for AVX2 can't be inlined into code that may run without it; one
// call per row of 256 means costs nothing measurable.
template <void (*meanRow)(const std::int16_t*, float*), void (*copyOut)(const Tile&, std::size_t, float*)>
void reduceInTiles(const std::int16_t* pair, float* destinationSlice) {
    alignas(64) Tile tile;
    const std::size_t rowsBeforeBoundary = rowsBeforeLineBoundary(destinationSlice);
    for (std::size_t firstRow = 0, rows = 0; firstRow < kOutputEdge; firstRow += rows) {
        rows = tileRowCount(firstRow, rowsBeforeBoundary);
        for (std::size_t t = 0; t < rows; ++t) {
            meanRow(pair + kSamplesPerRowPair * (firstRow + t), tile[t]);
            prefetchTileLines(destinationSlice + firstRow, t);
        }
        copyOut(tile, rows, destinationSlice + firstRow);
    }
}

}  // namespace

void reducePairSse2(const std::int16_t* pair, float* destinationSlice) {
    reduceInTiles<rowMeansSse2, copyTileSse2>(pair, destinationSlice);
}

void reducePairAvx2(const std::int16_t* pair, float* destinationSlice) {
    reduceInTiles<rowMeansAvx2, copyTileAvx2>(pair, destinationSlice);
}

bool cpuHasAvx2() {
#if defined(_MSC_VER) && !defined(__clang__)
    int registers[4];
    __cpuid(registers, 0);
    if (registers[0] < 7) {
        return false;
    }
    __cpuid(registers, 1);
    const bool osSavesRegisters = (registers[2] & (1 << 27)) != 0;  // OSXSAVE
    const bool hasAvx = (registers[2] & (1 << 28)) != 0;
    // The CPU may have AVX2 while the operating system doesn't save the upper register halves.
    if (!osSavesRegisters || !hasAvx || (_xgetbv(0) & 0x6) != 0x6) {
        return false;
    }
    __cpuidex(registers, 7, 0);
    return (registers[1] & (1 << 5)) != 0;
#else
    // Checks the operating system's support too. The init makes it safe even from a
    // constructor that runs before the runtime's own.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}

#endif  // QUARNEL_X86_64_KERNELS

void reducePair(const std::int16_t* pair, float* destinationSlice) {
#if QUARNEL_X86_64_KERNELS
    // Chosen once: the CPU can't change under a running host.
    using Kernel = void (*)(const std::int16_t*, float*);
    static const Kernel kernel = cpuHasAvx2() ? reducePairAvx2 : reducePairSse2;
    kernel(pair, destinationSlice);
#else
    reducePairPortable(pair, destinationSlice);
#endif
}

}  // namespace quarnel
