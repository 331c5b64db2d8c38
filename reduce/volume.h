// The two volumes Quarnel deals in and the rule that turns eight raw samples into one reduced one.
//
// Raw volume: a headerless file of 512 x 512 x 512 little-endian int16 samples; the column index x
// varies fastest, then the row y, then the slice z, so sample (x, y, z) sits at byte
// 2 * (x + 512 * y + 262144 * z). Only the first 268435456 bytes are ever read. Slices are read
// straight into int16 memory, which is right on every little-endian CPU the hosts run on.
//
// Reduced volume: 256 x 256 x 256 floats, column-major as the host stores arrays. Element (r, c, s)
// at linear index r + 256 * c + 65536 * s is the mean of file rows 2r and 2r+1, columns 2c and
// 2c+1, slices 2s and 2s+1: the host's first axis runs along the file's rows, its second along the
// file's columns, so the in-plane axes are exchanged relative to the file's storage order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarnel {

constexpr std::size_t kInputEdge = 512;
constexpr std::size_t kOutputEdge = 256;

constexpr std::size_t kSamplesPerRow = kInputEdge;
constexpr std::size_t kSamplesPerSlice = kInputEdge * kInputEdge;  // 262144
constexpr std::size_t kBytesPerSlice = kSamplesPerSlice * sizeof(std::int16_t);  // 524288
constexpr std::size_t kSamplesPerPair = 2 * kSamplesPerSlice;
constexpr std::size_t kBytesPerPair = 2 * kBytesPerSlice;  // 1048576
constexpr std::size_t kPairCount = kInputEdge / 2;  // 256
constexpr std::size_t kVolumeBytes = kBytesPerPair * kPairCount;  // 268435456

constexpr std::size_t kElementsPerOutputSlice = kOutputEdge * kOutputEdge;  // 65536
constexpr std::size_t kOutputElements = kElementsPerOutputSlice * kOutputEdge;  // 16777216

// Sum of a 2 x 2 x 2 block divided by 8, truncated toward zero (sums -1..-7 give 0, never -1),
// then converted to float. The quotient is a whole number in int16 range, so the conversion is
// exact and a zero is always +0.0.
constexpr float blockMean(std::int32_t blockSum) {
    const std::int32_t truncatedMean = blockSum / 8;
    return static_cast<float>(truncatedMean);
}

}  // namespace quarnel
