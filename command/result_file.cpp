#include "result_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stop.h"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "results are written from memory as they lie: the files' numbers are little-endian"
#endif

namespace quarnel::command {

namespace {

// What the results are written and read back through: 1 MiB, or one slice where that is more.
constexpr std::size_t kChunkElements = (1 << 20) / sizeof(float);
constexpr std::size_t kCheckPeriod = 8191;

constexpr std::size_t kMatTextBytes = 116;
constexpr std::size_t kMatDataOffset = 192;

// A NIfTI result: the 348-byte header, 4 bytes that say an extension follows, the extension (its
// size, its code, and the record as text ended by NULs), then the data.
constexpr std::size_t kNiftiRecordOffset = 360;
constexpr std::size_t kNiftiDataOffset = 640;

constexpr std::uint64_t dataOffset(Format format) { return format == Format::mat ? kMatDataOffset : kNiftiDataOffset; }

std::uint64_t elementCount(const RawLayout& layout) {
    const std::array<std::uint32_t, 3> edges = levelEdges(layout, 0);
    return std::uint64_t{edges[0]} * edges[1] * edges[2];
}

// A slice of V as a MAT result holds it: H rows of W floats, x fastest, with its two axes exchanged,
// rows fastest. In 8 x 8 tiles, which stay in the cache, each of four 4 x 4 blocks exchanged in
// SSE2 where the CPU has it; the exchange then costs about what copying the slice does.
void transposeSlice(const float* slice, std::size_t width, std::size_t height, float* into) {
    constexpr std::size_t kTile = 8;
    for (std::size_t rows = 0; rows < height; rows += kTile) {
        for (std::size_t columns = 0; columns < width; columns += kTile) {
            const std::size_t rowEnd = std::min(height, rows + kTile);
            const std::size_t columnEnd = std::min(width, columns + kTile);
#if defined(__SSE2__)
            if (rowEnd - rows == kTile && columnEnd - columns == kTile) {
                for (std::size_t row = rows; row < rowEnd; row += 4) {
                    for (std::size_t column = columns; column < columnEnd; column += 4) {
                        __m128 block[4];
                        for (std::size_t i = 0; i < 4; ++i) block[i] = _mm_loadu_ps(slice + column + width * (row + i));
                        _MM_TRANSPOSE4_PS(block[0], block[1], block[2], block[3]);
                        for (std::size_t i = 0; i < 4; ++i) _mm_storeu_ps(into + row + height * (column + i), block[i]);
                    }
                }
                continue;
            }
#endif
            for (std::size_t column = columns; column < columnEnd; ++column) {
                for (std::size_t row = rows; row < rowEnd; ++row) into[row + height * column] = slice[column + width * row];
            }
        }
    }
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
    const std::array<std::uint32_t, 3> edges = levelEdges(provenance.layout, 0);
    const auto dataBytes = static_cast<std::uint32_t>(elementCount(provenance.layout) * sizeof(float));
    const std::uint32_t matrixBytes = static_cast<std::uint32_t>(kMatDataOffset - 136) + dataBytes;
    // Bytes 116 to 191, as little-endian 32-bit words.
    const std::uint32_t words[] = {
        0x20202020, 0x20202020, 0x4D490100,      // no subsystem data; version 0x0100, "IM"
        14, matrixBytes,                         // miMATRIX
        6, 8, 7, 0,                              // array flags: miUINT32, 8 bytes; single, real
        5, 12, edges[1], edges[0], edges[2], 0,  // dimensions: miINT32, 12 bytes, padded
        0x00010001, 'V',                         // name: a small miINT8 element of 1 byte
        7, dataBytes,                            // the real part: miSINGLE
    };
    static_assert(kMatTextBytes + sizeof words == kMatDataOffset);
    return header.append(reinterpret_cast<const char*>(words), sizeof words);
}

template <typename Value>
void put(std::string& bytes, std::size_t offset, Value value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

const char* typeName(SampleType type) {
    switch (type) {
        case SampleType::int16: return "int16";
        case SampleType::uint16: return "uint16";
        case SampleType::uint8: return "uint8";
        case SampleType::float32: return "float32";
    }
    return "";
}

// The 640 bytes before a NIfTI result's data. Voxel (i, j, k) is centred on its 2 x 2 x 2 block
// of input voxels, the input's first voxel centred at 0: at 2S i + S/2 along each axis, which both
// the qform (no rotation) and the sform say. Empty when the record doesn't fit.
std::string niftiHeader(const char* version, const Provenance& provenance, long long check) {
    const RawLayout& layout = provenance.layout;
    const std::string record = recordText(version, provenance, "", check);
    if (record.size() >= kNiftiDataOffset - kNiftiRecordOffset) return "";
    std::string header(kNiftiDataOffset, '\0');
    put(header, 0, std::int32_t{348});
    header[38] = 'r';
    const std::array<std::uint32_t, 3> edges = levelEdges(layout, 0);
    const std::int16_t dimensions[8] = {3, static_cast<std::int16_t>(edges[0]), static_cast<std::int16_t>(edges[1]),
                                        static_cast<std::int16_t>(edges[2]), 1, 1, 1, 1};
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
    const bool cube = layout.edges[0] == layout.edges[1] && layout.edges[1] == layout.edges[2];
    const std::string shape = cube ? std::to_string(layout.edges[0]) + "^3"
                                   : std::to_string(layout.edges[0]) + "x" + std::to_string(layout.edges[1]) + "x" +
                                         std::to_string(layout.edges[2]);
    (void)std::snprintf(&header[148], 80, "Quarnel %s: 2 x 2 x 2 block means of a %s %s volume", version, shape.c_str(),
                        typeName(layout.type));
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
    return parseRecord(header + kNiftiRecordOffset, version, check) ? niftiHeader(version, provenance, check) : "";
}
// NOLINTEND(cert-err34-c)

}  // namespace

std::string resultName(const std::string& name, Format format) {
    return name + (format == Format::mat ? ".mat" : format == Format::nifti ? ".nii" : ".ome.zarr");
}

std::string shortestText(double value) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        (void)std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

// 64-bit FNV-1a of the options that give a layout other than the default: it joins a result's
// check sum, so that a result of one layout never passes for one of another.
std::uint64_t layoutCode(const RawLayout& layout) {
    std::uint64_t hash = 14695981039346656037ull;
    const std::string options = layoutOptions(layout);
    for (const char c : options) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return options.empty() ? 0 : hash;
}

// The check sum's terms for the file's elements firstIndex .. firstIndex + count - 1, modulo 2^64.
// A mean of integer samples is a whole number below 65536 in magnitude and a weight at most 8191,
// so the products of a chunk of 2^18, and their sums, are exact in double, where four lanes kept
// apart let the compiler use vector registers. Float32 means count by their bits.
std::uint64_t checkTerms(const float* values, std::size_t count, std::uint64_t firstIndex, SampleType type) {
    const bool wholeNumbers = type != SampleType::float32;
    std::uint64_t sum = 0;
    for (std::size_t start = 0; start < count; start += kChunkElements) {
        const std::size_t end = std::min(count, start + kChunkElements);
        double lanes[4] = {};
        for (std::size_t i = start, weight = (firstIndex + start) % kCheckPeriod + 1; i < end;) {
            // A run of weights weight, weight + 1, ... that doesn't wrap around.
            const std::size_t run = std::min(end - i, kCheckPeriod + 1 - weight);
            const float* value = values + i;
            if (wholeNumbers) {
                std::size_t j = 0;
                for (; j + 4 <= run; j += 4) {
                    for (std::size_t lane = 0; lane < 4; ++lane) {
                        lanes[lane] += static_cast<double>(value[j + lane]) * static_cast<double>(weight + j + lane);
                    }
                }
                for (; j < run; ++j) lanes[0] += static_cast<double>(value[j]) * static_cast<double>(weight + j);
            } else {
                for (std::size_t j = 0; j < run; ++j) {
                    std::uint32_t bits;
                    std::memcpy(&bits, value + j, sizeof bits);
                    sum += std::uint64_t{bits} * (weight + j);
                }
            }
            i += run;
            weight = 1;
        }
        sum += static_cast<std::uint64_t>(static_cast<std::int64_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]));
    }
    return sum;
}

// A value the reduction of the type's samples can give: for an integer type a whole number in the
// type's range, and never -0.
bool isReducedValue(float value, SampleType type) {
    const float least = type == SampleType::int16 ? -32768.0f : 0.0f;
    const float most = type == SampleType::int16 ? 32767.0f : type == SampleType::uint16 ? 65535.0f : 255.0f;
    return type == SampleType::float32 || (value >= least && value <= most && static_cast<float>(static_cast<int>(value)) == value &&
                                           !(value == 0 && std::signbit(value)));
}


std::uint64_t resultFileBytes(Format format, const RawLayout& layout) {
    return dataOffset(format) + elementCount(layout) * sizeof(float);
}

std::string recordText(const char* version, const Provenance& provenance, const std::string& extra, long long check) {
    const std::string options = layoutOptions(provenance.layout);
    std::string record = std::string("Quarnel ") + version + ", input " + std::to_string(provenance.size) + " B " +
                         std::to_string(provenance.modified.tv_sec) + "." + nanosecondsOf(provenance) + " s, " +
                         (options.empty() ? "" : options + ", ") + "voxel";
    for (const double edge : provenance.voxelSize) record += ' ' + shortestText(edge);  // as given
    return record + " mm, " + (extra.empty() ? "" : extra + ", ") + "check " + std::to_string(check);
}

// NOLINTBEGIN(cert-err34-c): a number that doesn't convert can't render the record again
bool parseRecord(const char* record, char (&version)[32], long long& check) {
    const char* checkText = std::strstr(record, ", check ");
    return std::sscanf(record, "Quarnel %31[^, ],", version) == 1 && checkText != nullptr &&
           std::sscanf(checkText, ", check %lld", &check) == 1;
}
// NOLINTEND(cert-err34-c)

std::string layoutOptions(const RawLayout& layout) {
    const RawLayout standard;
    std::string options;
    const auto add = [&options](const std::string& option) { options += (options.empty() ? "" : " ") + option; };
    if (layout.edges != standard.edges) {
        add("--shape " + std::to_string(layout.edges[0]) + "," + std::to_string(layout.edges[1]) + "," + std::to_string(layout.edges[2]));
    }
    if (layout.type != standard.type) add(std::string("--type ") + typeName(layout.type));
    if (layout.byteOrder != standard.byteOrder) add("--byte-order big");
    if (layout.headerBytes != standard.headerBytes) add("--header-bytes " + std::to_string(layout.headerBytes));
    return options;
}

ResultWriter::ResultWriter(Format format, const std::string& folderPath, int folder, const RawLayout& layout)
    : format_(format), layout_(layout), temporary_(folderPath, folder) {}

bool ResultWriter::begin() {
    const std::array<std::uint32_t, 3> edges = levelEdges(layout_, 0);
    capacity_ = std::max(kChunkElements, std::size_t{edges[0]} * edges[1]);
    buffer_.reset(new float[capacity_]);
    return temporary_.create(static_cast<off_t>(resultFileBytes(format_, layout_)));
}

bool ResultWriter::add(const float* slice) {
    const std::array<std::uint32_t, 3> edges = levelEdges(layout_, 0);
    const std::size_t count = std::size_t{edges[0]} * edges[1];
    if (capacity_ - filled_ < count && !flush()) return false;
    if (format_ == Format::mat) {
        transposeSlice(slice, edges[0], edges[1], buffer_.get() + filled_);
    } else {
        std::memcpy(buffer_.get() + filled_, slice, count * sizeof(float));
    }
    filled_ += count;
    return filled_ < kChunkElements || flush();
}

bool ResultWriter::flush() {
    check_ += checkTerms(buffer_.get(), filled_, written_, layout_.type);
    const bool wrote =
        temporary_.write(buffer_.get(), filled_ * sizeof(float), static_cast<off_t>(dataOffset(format_) + written_ * sizeof(float)));
    written_ += filled_;
    filled_ = 0;
    return wrote;
}

bool ResultWriter::finish(const std::string& name, const Provenance& provenance) {
    if (filled_ > 0 && !flush()) return false;
    const std::uint64_t sum = check_ + layoutCode(layout_);
    const auto check = static_cast<long long>(sum);
    const std::string header = format_ == Format::mat ? matHeader(QUARNEL_VERSION, provenance, nanosecondsOf(provenance).c_str(), check)
                                                      : niftiHeader(QUARNEL_VERSION, provenance, check);
    if (header.empty()) {
        errno = EOVERFLOW;
        return false;
    }
    return temporary_.write(header.data(), header.size(), 0) && temporary_.commit(name);
}

bool resultIsCurrent(Format format, int folder, const std::string& name, const Provenance& provenance) {
    // A result is read whole or it is no use: a short read is a failure.
    const Descriptor file(openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const auto readAll = [&file](void* data, std::size_t size, std::uint64_t offset) {
        return pread(file.value, data, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    };
    struct stat status {};
    char header[kNiftiDataOffset + 1] = {};
    long long check = 0;
    if (file.value < 0 || fstat(file.value, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) != resultFileBytes(format, provenance.layout) ||
        !readAll(header, dataOffset(format), 0) ||
        currentHeader(format, header, provenance, check) != std::string(header, dataOffset(format))) {
        return false;
    }
    const std::unique_ptr<float[]> chunk(new float[kChunkElements]);
    const SampleType type = provenance.layout.type;
    std::uint64_t sum = layoutCode(provenance.layout);
    const std::uint64_t count = elementCount(provenance.layout);
    for (std::uint64_t first = 0; first < count; first += kChunkElements) {
        if (stopRequested()) throw VolumeInterrupted{};
        const auto elements = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkElements, count - first));
        if (!readAll(chunk.get(), elements * sizeof(float), dataOffset(format) + first * sizeof(float)) ||
            !std::all_of(chunk.get(), chunk.get() + elements, [type](float value) { return isReducedValue(value, type); })) {
            return false;
        }
        sum += checkTerms(chunk.get(), elements, first, type);
    }
    return static_cast<long long>(sum) == check;
}

}  // namespace quarnel::command
