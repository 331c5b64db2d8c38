#include "result_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "durable_write.h"
#include "stop.h"
#include "volume.h"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "V is written from memory as it lies: the files' numbers are little-endian"
#endif

namespace quarnel::command {

namespace {

constexpr std::uint32_t kDataBytes = kOutputElements * sizeof(float);
constexpr std::size_t kCheckPeriod = 8191;

constexpr std::size_t kMatTextBytes = 116;
constexpr std::size_t kMatDataOffset = 192;

// Bytes 116 to 191 of a MAT result, the same in every one, as little-endian 32-bit words.
constexpr std::uint32_t kMatFixedWords[] = {
    0x20202020, 0x20202020, 0x4D490100,  // no subsystem data; version 0x0100, "IM"
    14, kMatDataOffset - 136 + kDataBytes,  // miMATRIX
    6, 8, 7, 0,                          // array flags: miUINT32, 8 bytes; single, real
    5, 12, 256, 256, 256, 0,             // dimensions: miINT32, 12 bytes, padded
    0x00010001, 'V',                     // name: a small miINT8 element of 1 byte
    7, kDataBytes,                       // the real part: miSINGLE
};
static_assert(kMatTextBytes + sizeof kMatFixedWords == kMatDataOffset);

// A NIfTI result: the 348-byte header, 4 bytes that say an extension follows, the extension (its
// size, its code, and the record as text ended by NULs), then the data.
constexpr std::size_t kNiftiRecordOffset = 360;
constexpr std::size_t kNiftiDataOffset = 640;

constexpr off_t dataOffset(Format format) { return static_cast<off_t>(format == Format::mat ? kMatDataOffset : kNiftiDataOffset); }

// The weighted sum of the file's elements firstIndex .. firstIndex + count - 1. Each is a whole
// number of at most 32768 in magnitude and each weight at most 8191, so every product, and every
// partial sum over the 16777216 elements (below 2^52.1), is exact in double: the order of the
// additions can't change the result, and four sums kept apart let the compiler use vector lanes.
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

// V's slices in the chunk with their first two axes exchanged, as a NIfTI result holds them: its
// first axis runs along the input's columns, V's along its rows. 4 x 4 blocks in 8 x 8 tiles, so
// that both stay in the cache, exchanged in SSE2 where the CPU has it; the exchange then costs
// about what copying the chunk does.
const float* transposedSlices(const float* slices, float* into) {
    for (std::size_t slice = 0; slice < kChunkElements; slice += kElementsPerOutputSlice) {
        const float* from = slices + slice;
        float* to = into + slice;
        for (std::size_t rows = 0; rows < kOutputEdge; rows += 8) {
            for (std::size_t columns = 0; columns < kOutputEdge; columns += 8) {
                for (std::size_t column = columns; column < columns + 8; column += 4) {
                    for (std::size_t row = rows; row < rows + 8; row += 4) {
#if defined(__SSE2__)
                        __m128 block[4];
                        for (std::size_t i = 0; i < 4; ++i) block[i] = _mm_load_ps(from + row + kOutputEdge * (column + i));
                        _MM_TRANSPOSE4_PS(block[0], block[1], block[2], block[3]);
                        for (std::size_t i = 0; i < 4; ++i) _mm_store_ps(to + column + kOutputEdge * (row + i), block[i]);
#else
                        for (std::size_t i = 0; i < 16; ++i) {
                            to[column + i % 4 + kOutputEdge * (row + i / 4)] = from[row + i / 4 + kOutputEdge * (column + i % 4)];
                        }
#endif
                    }
                }
            }
        }
    }
    return into;
}

std::string nanosecondsOf(const Provenance& provenance) {
    char digits[16];
    (void)std::snprintf(digits, sizeof digits, "%09ld", static_cast<long>(provenance.modified.tv_nsec));
    return digits;
}

// The 192 bytes before a MAT result's data, with the time to the precision of `fraction`; empty
// when the record doesn't fit in 116 bytes, which takes a size of 10^19 bytes or a time thousands
// of years away.
std::string matHeader(const char* version, const Provenance& provenance, const char* fraction, long long check) {
    char text[256];
    const int length = std::snprintf(text, sizeof text, "MATLAB 5.0 MAT-file, Quarnel %s, input %llu B %lld%s%s s, check %lld",
                                     version, provenance.size, static_cast<long long>(provenance.modified.tv_sec),
                                     *fraction != '\0' ? "." : "", fraction, check);
    if (length < 0 || static_cast<std::size_t>(length) > kMatTextBytes) return "";
    std::string header(text);
    header.resize(kMatTextBytes, ' ');
    return header.append(reinterpret_cast<const char*>(kMatFixedWords), sizeof kMatFixedWords);
}

template <typename Value>
void put(std::string& bytes, std::size_t offset, Value value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

// The 640 bytes before a NIfTI result's data. Voxel (i, j, k) is centred on its 2 x 2 x 2 block
// of input voxels, the input's first voxel centred at 0: at 2S i + S/2 along each axis, which both
// the qform (no rotation) and the sform say. Empty when the record doesn't fit.
std::string niftiHeader(const char* version, const Provenance& provenance, long long check) {
    std::string record = std::string("Quarnel ") + version + ", input " + std::to_string(provenance.size) + " B " +
                         std::to_string(provenance.modified.tv_sec) + "." + nanosecondsOf(provenance) + " s, voxel";
    for (const double edge : provenance.voxelSize) {
        // The fewest digits that give the edge back, as given: 0.5, not 0.50000000000000000.
        char text[32];
        for (int digits = 1; digits <= 17; ++digits) {
            (void)std::snprintf(text, sizeof text, "%.*g", digits, edge);
            if (std::strtod(text, nullptr) == edge) break;
        }
        record += ' ' + std::string(text);
    }
    record += " mm, check " + std::to_string(check);
    if (record.size() >= kNiftiDataOffset - kNiftiRecordOffset) return "";
    std::string header(kNiftiDataOffset, '\0');
    put(header, 0, std::int32_t{348});
    header[38] = 'r';
    const std::int16_t dimensions[8] = {3, kOutputEdge, kOutputEdge, kOutputEdge, 1, 1, 1, 1};
    std::memcpy(&header[40], dimensions, sizeof dimensions);
    put(header, 70, std::int16_t{16});  // float32
    put(header, 72, std::int16_t{32});
    put(header, 76, 1.0f);              // no reflection
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto edge = static_cast<float>(2 * provenance.voxelSize[axis]);
        const auto offset = static_cast<float>(provenance.voxelSize[axis] / 2);
        put(header, 80 + 4 * axis, edge);                 // pixdim
        put(header, 268 + 4 * axis, offset);              // the qform's offset
        put(header, 280 + 16 * axis + 4 * axis, edge);    // the sform's row
        put(header, 280 + 16 * axis + 12, offset);
    }
    put(header, 108, static_cast<float>(kNiftiDataOffset));
    put(header, 112, 1.0f);  // scl_slope: the values as they are
    header[123] = 2;         // millimetres
    (void)std::snprintf(&header[148], 80, "Quarnel %s: 2 x 2 x 2 block means of a 512^3 int16 volume", version);
    put(header, 252, std::int16_t{1});  // qform and sform: scanner coordinates
    put(header, 254, std::int16_t{1});
    std::memcpy(&header[344], "n+1", 4);
    header[348] = 1;  // an extension follows: the record, as a comment
    put(header, 352, static_cast<std::int32_t>(kNiftiDataOffset - 352));
    put(header, 356, std::int32_t{6});
    return header.replace(kNiftiRecordOffset, record.size(), record);
}

// The header that a result written now from the provenance would have, but for the version that
// wrote it, its check and (in a MAT result) its time's precision, taken from the file's own
// record by sscanf: a file is current when its header is that, byte for byte. `header` ends in NUL.
// NOLINTBEGIN(cert-err34-c): a number that doesn't convert can't render the header again
std::string currentHeader(Format format, const char* header, const Provenance& provenance, long long& check) {
    char version[32] = "";
    char fraction[16] = "";
    if (format == Format::mat) {
        const char* start = "MATLAB 5.0 MAT-file, Quarnel %31[^, ], input %*llu B %*lld";
        const bool parsed =
            std::sscanf(header, (std::string(start) + ".%9[0-9] s, check %lld").c_str(), version, fraction, &check) == 3 ||
            std::sscanf(header, (std::string(start) + " s, check %lld").c_str(), version, &check) == 2;
        return parsed && nanosecondsOf(provenance).compare(0, std::strlen(fraction), fraction) == 0
                   ? matHeader(version, provenance, fraction, check)
                   : "";
    }
    const char* record = header + kNiftiRecordOffset;
    const char* checkText = std::strstr(record, ", check ");
    const bool parsed = std::sscanf(record, "Quarnel %31[^, ],", version) == 1 && checkText != nullptr &&
                        std::sscanf(checkText, ", check %lld", &check) == 1;
    return parsed ? niftiHeader(version, provenance, check) : "";
}
// NOLINTEND(cert-err34-c)

// Calls visit(first, offset) for the first element of each chunk and the chunk's place in the
// file, in order, while it returns true; a stop ends the volume between two chunks. True when
// every chunk was visited.
template <typename Visit>
bool everyChunk(Format format, Visit visit) {
    for (std::size_t first = 0; first < kOutputElements; first += kChunkElements) {
        if (stopRequested()) throw VolumeInterrupted{};
        if (!visit(first, static_cast<off_t>(dataOffset(format) + first * sizeof(float)))) return false;
    }
    return true;
}

}  // namespace

std::string resultName(const std::string& name, Format format) { return name + (format == Format::mat ? ".mat" : ".nii"); }

off_t resultFileBytes(Format format) { return dataOffset(format) + kDataBytes; }

std::string writeResult(Format format, const std::string& folderPath, int folder, const std::string& name, const float* volume,
                        const Provenance& provenance, float* chunk) {
    Temporary temporary(folderPath, folder);
    double check = 0;
    const bool written = temporary.create(resultFileBytes(format)) && everyChunk(format, [&](std::size_t first, off_t offset) {
        const float* elements = format == Format::nifti ? transposedSlices(volume + first, chunk) : volume + first;
        check += weightedSum(elements, kChunkElements, first);
        return temporary.write(elements, kChunkElements * sizeof(float), offset);
    });
    if (!written) return std::strerror(errno);
    const auto sum = static_cast<long long>(check);
    const std::string header = format == Format::mat ? matHeader(QUARNEL_VERSION, provenance, nanosecondsOf(provenance).c_str(), sum)
                                                     : niftiHeader(QUARNEL_VERSION, provenance, sum);
    if (header.empty()) return "the input's size and time don't fit in the header";
    if (!temporary.write(header.data(), header.size(), 0) || !temporary.commit(name)) return std::strerror(errno);
    return "";
}

bool resultIsCurrent(Format format, int folder, const std::string& name, const Provenance& provenance, float* chunk) {
    // A result is read whole or it is no use: a short read is a failure.
    const Descriptor file(openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const auto readAll = [&file](void* data, std::size_t size, off_t offset) {
        return pread(file.value, data, size, offset) == static_cast<ssize_t>(size);
    };
    struct stat status {};
    char header[kNiftiDataOffset + 1] = {};
    long long check = 0;
    if (file.value < 0 || fstat(file.value, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size != resultFileBytes(format) || !readAll(header, dataOffset(format), 0) ||
        currentHeader(format, header, provenance, check) != std::string(header, dataOffset(format))) {
        return false;
    }
    double sum = 0;
    return everyChunk(format, [&](std::size_t first, off_t offset) {
               const bool whole = readAll(chunk, kChunkElements * sizeof(float), offset) &&
                                  std::all_of(chunk, chunk + kChunkElements, isReducedValue);
               sum += weightedSum(chunk, kChunkElements, first);
               return whole;
           }) &&
           static_cast<long long>(sum) == check;
}

}  // namespace quarnel::command
