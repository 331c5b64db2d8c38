// One slice pair of the raw volume reduced to one slice of the reduced volume.
#pragma once

#include <cstdint>

namespace quarnel {

// `pair` holds slice 2s then slice 2s+1 (524288 samples); `destinationSlice` is the 65536
// elements of output slice s, written once each in the reduced (row-fastest) layout.
void reducePair(const std::int16_t* pair, float* destinationSlice);

}  // namespace quarnel
