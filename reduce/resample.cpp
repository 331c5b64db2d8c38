#include "resample.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <malloc.h>
#endif

#include "mex.h"
#include "reduce_pair.h"
#include "volume.h"

namespace quarnel {

namespace {

// Reads one slice after an absolute seek. Whatever the stream fails to deliver is zeroed, so a
// file that ends early never leaves samples of the previous pair where its data stops.
bool readSlice(std::FILE* input, std::size_t offset, std::int16_t* slice) {
    std::size_t delivered = 0;
    if (std::fseek(input, static_cast<long>(offset), SEEK_SET) == 0) {
        delivered = std::fread(slice, sizeof(std::int16_t), kSamplesPerSlice, input);
    }
    std::fill(slice + delivered, slice + kSamplesPerSlice, std::int16_t{0});
    return delivered == kSamplesPerSlice;
}

void reportProgress(std::size_t slicesDone) {
    const double percent = static_cast<double>(slicesDone) * 0.001953125 * 100.0;
    mexPrintf("Resample Progress : %.2f percent\n", percent);
    mexEvalString("drawnow;");
}

// On some CPUs the kernel copies a read into memory several times slower when the destination
// starts just past a page boundary, which is where a fresh heap puts a 1 MiB block.
constexpr std::size_t kPageBytes = 4096;

std::int16_t* allocatePairBuffer() {
#ifdef _WIN32
    void* buffer = _aligned_malloc(kBytesPerPair, kPageBytes);
#else
    void* buffer = std::aligned_alloc(kPageBytes, kBytesPerPair);
#endif
    if (buffer != nullptr) {
        std::memset(buffer, 0, kBytesPerPair);
    }
    return static_cast<std::int16_t*>(buffer);
}

void releasePairBuffer(std::int16_t* buffer) {
#ifdef _WIN32
    _aligned_free(buffer);
#else
    std::free(buffer);
#endif
}

}  // namespace

bool volumeIsComplete(std::FILE* input) {
    return std::fseek(input, static_cast<long>(kVolumeBytes - 1), SEEK_SET) == 0 &&
           std::fgetc(input) != EOF;
}

}  // namespace quarnel

bool resampleVolume(std::FILE* input, float* destination, bool showProgress) {
    using namespace quarnel;
    // Owned so that a host which unwinds the call from inside a redraw (an interrupt) frees it.
    const std::unique_ptr<std::int16_t, decltype(&releasePairBuffer)> buffer(allocatePairBuffer(), &releasePairBuffer);
    std::int16_t* pair = buffer.get();
    if (pair == nullptr) {
        mexPrintf("Couldn't Allocate Buffer Memory!\n");
        return false;
    }
    bool everySampleDelivered = true;
    for (std::size_t s = 0; s < kPairCount; ++s) {
        if (showProgress) {
            reportProgress(2 * s);
        }
        const std::size_t pairOffset = kBytesPerPair * s;
        everySampleDelivered &= readSlice(input, pairOffset, pair);
        everySampleDelivered &= readSlice(input, pairOffset + kBytesPerSlice, pair + kSamplesPerSlice);
        reducePair(pair, destination + kElementsPerOutputSlice * s);
    }
    if (!everySampleDelivered) {
        mexPrintf("%s", kShortVolumeMessage);
    }
    return everySampleDelivered;
}
