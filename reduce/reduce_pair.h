// One slice pair of the raw volume reduced to one slice of the reduced volume.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#define QUARNEL_X86_64_KERNELS 1
#else
#define QUARNEL_X86_64_KERNELS 0
#endif

namespace quarnel {

// `pair` holds slice 2s then slice 2s+1 (524288 samples); `destinationSlice` is the 65536
// elements of output slice s, written once each in the reduced (row-fastest) layout. Runs the
// fastest of the kernels below that this CPU has; all of them give the same bits.
void reducePair(const std::int16_t* pair, float* destinationSlice);

// The kernels, each with reducePair's contract. Neither pointer needs more alignment than its
// element type's, since the host decides where its arrays start.
void reducePairPortable(const std::int16_t* pair, float* destinationSlice);
#if QUARNEL_X86_64_KERNELS
void reducePairSse2(const std::int16_t* pair, float* destinationSlice);
// Only on a CPU, and an operating system, for which cpuHasAvx2() is true.
void reducePairAvx2(const std::int16_t* pair, float* destinationSlice);
bool cpuHasAvx2();
#endif

}  // namespace quarnel
