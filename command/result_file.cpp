#include "result_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "durable_write.h"
#include "stop.h"
#include "volume.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "V is written from memory as it lies: the file's floats are little-endian"
#endif

namespace quarnel::command {

namespace {

constexpr std::size_t kHeaderTextBytes = 116;
constexpr std::size_t kDataOffset = 192;
constexpr std::uint32_t kDataBytes = kOutputElements * sizeof(float);

// V is written and read back in chunks of 1 MiB: a stop is noticed between two, and the check of
// each is computed while the chunk is still in the cache.
constexpr std::size_t kChunkElements = (1 << 20) / sizeof(float);

constexpr std::size_t kCheckPeriod = 8191;

// Bytes 116 to 191, the same in every result, as little-endian 32-bit words.
constexpr std::uint32_t kFixedWords[] = {
    0x20202020, 0x20202020, 0x4D490100,     // no subsystem data; version 0x0100, "IM"
    14, kResultFileBytes - 136,             // miMATRIX
    6, 8, 7, 0,                             // array flags: miUINT32, 8 bytes; single, real
    5, 12, 256, 256, 256, 0,                // dimensions: miINT32, 12 bytes, padded
    0x00010001, 'V',                        // name: a small miINT8 element of 1 byte
    7, kDataBytes,                          // the real part: miSINGLE
};
static_assert(kHeaderTextBytes + sizeof kFixedWords == kDataOffset && kDataOffset + kDataBytes == kResultFileBytes);

// The weighted sum of V[firstIndex .. firstIndex + count - 1]. Each element is a whole number of
// at most 32768 in magnitude and each weight at most 8191, so every product, and every partial
// sum over the 16777216 elements (below 2^52.1), is exact in double: the order of the additions
// can't change the result, and four sums kept apart let the compiler use vector lanes.
double weightedSum(const float* values, std::size_t count, std::size_t firstIndex) {
    double sums[4] = {};
    for (std::size_t i = 0, weight = firstIndex % kCheckPeriod + 1; i < count;) {
        // A run of weights weight, weight + 1, ... that doesn't wrap around.
        const std::size_t run = std::min(count - i, kCheckPeriod + 1 - weight);
        const float* value = values + i;
        std::size_t j = 0;
        for (; j + 4 <= run; j += 4) {
            for (std::size_t lane = 0; lane < 4; ++lane) {
                sums[lane] += static_cast<double>(value[j + lane]) * static_cast<double>(weight + j + lane);
            }
        }
        for (; j < run; ++j) sums[0] += static_cast<double>(value[j]) * static_cast<double>(weight + j);
        i += run;
        weight = 1;
    }
    return sums[0] + sums[1] + sums[2] + sums[3];
}

// A value the reduction can give: a whole number in int16's range, and never -0.
bool isReducedValue(float value) {
    return value >= -32768.0f && value <= 32767.0f && static_cast<float>(static_cast<int>(value)) == value &&
           !(value == 0 && std::signbit(value));
}

// The header text of a record, padded; longer than 116 bytes only for a size of 10^19 bytes or a
// time thousands of years away, which no file system gives.
std::string headerText(const char* version, unsigned long long size, long long seconds, const char* fraction, long long check) {
    char text[256];
    (void)std::snprintf(text, sizeof text, "MATLAB 5.0 MAT-file, Quarnel %s, input %llu B %lld%s%s s, check %lld", version,
                        size, seconds, *fraction != '\0' ? "." : "", fraction, check);
    std::string padded = text;
    padded.resize(std::max(padded.size(), kHeaderTextBytes), ' ');
    return padded;
}

std::string nanosecondsOf(const InputRecord& input) {
    char digits[16];
    (void)std::snprintf(digits, sizeof digits, "%09ld", static_cast<long>(input.modified.tv_nsec));
    return digits;
}

// Reads the record back: sscanf takes the fields, and only a text that they render again, byte
// for byte, is a record. The input's time must match at the record's own precision.
bool recordMatches(const std::string& text, const InputRecord& input, long long& check) {
    char version[32] = "";
    unsigned long long size = 0;
    long long seconds = 0;
    char fraction[16] = "";
    const std::string start = "MATLAB 5.0 MAT-file, Quarnel %31[^, ], input %llu B %lld";
    // NOLINTNEXTLINE(cert-err34-c): a number that doesn't convert can't render the text again
    const bool parsed = std::sscanf(text.c_str(), (start + ".%9[0-9] s, check %lld").c_str(), version, &size, &seconds,
                                    fraction, &check) == 5 ||
                        // NOLINTNEXTLINE(cert-err34-c)
                        std::sscanf(text.c_str(), (start + " s, check %lld").c_str(), version, &size, &seconds, &check) == 4;
    return parsed && headerText(version, size, seconds, fraction, check) == text && size == input.size &&
           seconds == input.modified.tv_sec && nanosecondsOf(input).compare(0, std::strlen(fraction), fraction) == 0;
}

// Calls visit(first, offset) for the first element of each chunk of V and the chunk's place in
// the file, in order, while it returns true; a stop ends the volume between two chunks. True when
// every chunk was visited.
template <typename Visit>
bool everyChunk(Visit visit) {
    for (std::size_t first = 0; first < kOutputElements; first += kChunkElements) {
        if (stopRequested()) throw VolumeInterrupted{};
        if (!visit(first, static_cast<off_t>(kDataOffset + first * sizeof(float)))) return false;
    }
    return true;
}

}  // namespace

std::string writeResult(const std::string& folderPath, int folder, const std::string& resultName, const float* volume,
                        const InputRecord& input) {
    Temporary temporary(folderPath, folder);
    double check = 0;
    const bool written = temporary.create(kResultFileBytes) && everyChunk([&](std::size_t first, off_t offset) {
        check += weightedSum(volume + first, kChunkElements, first);
        return temporary.write(volume + first, kChunkElements * sizeof(float), offset);
    });
    if (!written) return std::strerror(errno);
    const std::string text = headerText(QUARNEL_VERSION, input.size, input.modified.tv_sec, nanosecondsOf(input).c_str(),
                                        static_cast<long long>(check));
    if (text.size() > kHeaderTextBytes) return "the input's size and time don't fit in the header";
    if (!temporary.write(text.data(), kHeaderTextBytes, 0) ||
        !temporary.write(kFixedWords, sizeof kFixedWords, kHeaderTextBytes) || !temporary.commit(resultName)) {
        return std::strerror(errno);
    }
    return "";
}

bool resultIsCurrent(int folder, const std::string& resultName, const InputRecord& input, float* chunk) {
    // A result is read whole or it is no use: a short read is a failure.
    const Descriptor file(openat(folder, resultName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const auto readAll = [&file](void* data, std::size_t size, off_t offset) {
        return pread(file.value, data, size, offset) == static_cast<ssize_t>(size);
    };
    struct stat status {};
    char header[kDataOffset];
    long long check = 0;
    if (file.value < 0 || fstat(file.value, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != kResultFileBytes ||
        !readAll(header, sizeof header, 0) || std::memcmp(header + kHeaderTextBytes, kFixedWords, sizeof kFixedWords) != 0 ||
        !recordMatches(std::string(header, kHeaderTextBytes), input, check)) {
        return false;
    }
    double sum = 0;
    return everyChunk([&](std::size_t first, off_t offset) {
               const bool whole = readAll(chunk, kChunkElements * sizeof(float), offset) &&
                                  std::all_of(chunk, chunk + kChunkElements, isReducedValue);
               sum += weightedSum(chunk, kChunkElements, first);
               return whole;
           }) &&
           static_cast<long long>(sum) == check;
}

}  // namespace quarnel::command
