#include "reduce_pair.h"

#include "volume.h"

namespace quarnel {

void reducePair(const std::int16_t* pair, float* destinationSlice) {
    const std::int16_t* lower = pair;
    const std::int16_t* upper = pair + kSamplesPerSlice;
    for (std::size_t c = 0; c < kOutputEdge; ++c) {
        for (std::size_t r = 0; r < kOutputEdge; ++r) {
            const std::size_t i = 2 * kSamplesPerRow * r + 2 * c;
            const std::int32_t sum = lower[i] + lower[i + 1] + lower[i + kSamplesPerRow] +
                                     lower[i + kSamplesPerRow + 1] + upper[i] + upper[i + 1] +
                                     upper[i + kSamplesPerRow] + upper[i + kSamplesPerRow + 1];
            destinationSlice[r + kOutputEdge * c] = blockMean(sum);
        }
    }
}

}  // namespace quarnel
