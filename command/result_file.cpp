#include "result_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "host.h"
#include "reduce_pair.h"
#include "stop.h"
#include "volume.h"

#if QUARNEL_X86_64_KERNELS
#include <emmintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "V is written from memory as it lies: the file's floats are little-endian"
#endif

namespace quarnel::command {

namespace {

constexpr std::size_t kHeaderTextBytes = 116;
constexpr std::size_t kDataBytes = kOutputElements * sizeof(float);
static_assert(kResultDataOffset + kDataBytes == kResultFileBytes);

// V is written and read back in chunks of this many bytes: a stop is noticed between two, and
// the check of each is computed while the chunk is still in the cache.
constexpr std::size_t kChunkBytes = 1 << 20;
constexpr std::size_t kChunkElements = kChunkBytes / sizeof(float);

constexpr std::size_t kCheckPeriod = 8191;

constexpr const char* kTextStart = "MATLAB 5.0 MAT-file, Quarnel ";

// Bytes 116 to 191, the same in every result.
using FixedBytes = std::array<unsigned char, kResultDataOffset - kHeaderTextBytes>;

void putUint32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

FixedBytes fixedBytes() {
    FixedBytes bytes{};
    std::fill(bytes.begin(), bytes.begin() + 8, ' ');  // no subsystem data
    bytes[8] = 0x00;  // version 0x0100
    bytes[9] = 0x01;
    bytes[10] = 'I';
    bytes[11] = 'M';
    unsigned char* element = bytes.data() + 12;
    putUint32(element, 14);  // miMATRIX
    putUint32(element + 4, static_cast<std::uint32_t>(kResultFileBytes - 136));
    putUint32(element + 8, 6);  // array flags: miUINT32, 8 bytes
    putUint32(element + 12, 8);
    putUint32(element + 16, 7);  // mxSINGLE_CLASS, real
    putUint32(element + 20, 0);
    putUint32(element + 24, 5);  // dimensions: miINT32, 12 bytes, then 4 bytes of padding
    putUint32(element + 28, 12);
    putUint32(element + 32, kOutputEdge);
    putUint32(element + 36, kOutputEdge);
    putUint32(element + 40, kOutputEdge);
    putUint32(element + 44, 0);
    putUint32(element + 48, 1 | (1u << 16));  // name: small element, miINT8, 1 byte
    element[52] = 'V';
    putUint32(element + 56, 7);  // real part: miSINGLE
    putUint32(element + 60, static_cast<std::uint32_t>(kDataBytes));
    return bytes;
}

// The weighted sum of V[firstIndex .. firstIndex + count - 1]. Each element is a whole number of
// at most 32768 in magnitude and each weight at most 8191, so every product, and every partial
// sum over the 16777216 elements (below 2^52.1), is exact in double: the order of the additions,
// which lets the loop keep several sums, can't change the result.
double weightedSum(const float* values, std::size_t count, std::size_t firstIndex) {
    double sum = 0;
    std::size_t weight = firstIndex % kCheckPeriod + 1;
    for (std::size_t i = 0; i < count;) {
        // A run of weights weight, weight + 1, ... that doesn't wrap around.
        const std::size_t run = std::min(count - i, kCheckPeriod + 1 - weight);
        const float* value = values + i;
        std::size_t j = 0;
#if QUARNEL_X86_64_KERNELS
        // Two pairs of lanes at a time, in SSE2, which every x86-64 CPU has.
        __m128d sumsLow = _mm_setzero_pd();
        __m128d sumsHigh = _mm_setzero_pd();
        __m128d weightsLow = _mm_set_pd(static_cast<double>(weight + 1), static_cast<double>(weight));
        __m128d weightsHigh = _mm_set_pd(static_cast<double>(weight + 3), static_cast<double>(weight + 2));
        const __m128d step = _mm_set1_pd(4.0);
        for (; j + 4 <= run; j += 4) {
            const __m128 four = _mm_loadu_ps(value + j);
            sumsLow = _mm_add_pd(sumsLow, _mm_mul_pd(_mm_cvtps_pd(four), weightsLow));
            sumsHigh = _mm_add_pd(sumsHigh, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(four, four)), weightsHigh));
            weightsLow = _mm_add_pd(weightsLow, step);
            weightsHigh = _mm_add_pd(weightsHigh, step);
        }
        double lanes[2];
        _mm_storeu_pd(lanes, _mm_add_pd(sumsLow, sumsHigh));
        sum += lanes[0] + lanes[1];
#endif
        for (; j < run; ++j) {
            sum += static_cast<double>(value[j]) * static_cast<double>(weight + j);
        }
        i += run;
        weight = 1;
    }
    return sum;
}

// A value the reduction can give: a whole number in int16's range, and never -0.
bool isReducedValue(float value) {
    if (!(value >= -32768.0f && value <= 32767.0f)) {
        return false;
    }
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<float>(static_cast<std::int32_t>(value)) == value && bits != 0x80000000u;
}

// The header text, or nothing when the record doesn't fit in 116 bytes: that takes a size of
// 10^19 bytes or a time thousands of years away, which no file system gives.
std::optional<std::string> headerText(const InputRecord& input, std::int64_t check) {
    char nanoseconds[24];
    (void)std::snprintf(nanoseconds, sizeof nanoseconds, "%09ld", static_cast<long>(input.modified.tv_nsec));
    std::string text = std::string(kTextStart) + QUARNEL_VERSION + ", input " + std::to_string(input.size) +
                       " B " + std::to_string(input.modified.tv_sec) + "." + nanoseconds + " s, check " + std::to_string(check);
    if (text.size() > kHeaderTextBytes) {
        return std::nullopt;
    }
    text.resize(kHeaderTextBytes, ' ');
    return text;
}

// Reads the record back from a header text. Strict: anything but the exact form is no record.
class HeaderReader {
public:
    explicit HeaderReader(const std::string& text) : text_(text) {}

    bool literal(const char* expected) {
        const std::size_t length = std::strlen(expected);
        if (text_.compare(position_, length, expected) != 0) {
            return false;
        }
        position_ += length;
        return true;
    }

    // Printable characters up to the next space or comma: the version that wrote the file.
    bool word() {
        const std::size_t start = position_;
        while (position_ < text_.size() && text_[position_] > ' ' && text_[position_] < 0x7F && text_[position_] != ',') {
            ++position_;
        }
        return position_ > start;
    }

    // A whole number without leading zeros, at most `maximum`; `digits` tells how many it had.
    bool unsignedNumber(std::uintmax_t maximum, std::uintmax_t& value, std::size_t* digits = nullptr) {
        const std::size_t start = position_;
        value = 0;
        while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
            const auto digit = static_cast<std::uintmax_t>(text_[position_] - '0');
            if (value > (maximum - digit) / 10) {
                return false;
            }
            value = value * 10 + digit;
            ++position_;
        }
        if (digits != nullptr) {
            *digits = position_ - start;
        }
        return position_ > start && (digits != nullptr || text_[start] != '0' || position_ == start + 1);
    }

    bool signedNumber(std::int64_t& value) {
        const bool negative = position_ < text_.size() && text_[position_] == '-';
        position_ += negative ? 1 : 0;
        std::uintmax_t magnitude = 0;
        if (!unsignedNumber(static_cast<std::uintmax_t>(INT64_MAX), magnitude) || (negative && magnitude == 0)) {
            return false;
        }
        value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return true;
    }

    bool onlySpacesLeft() const {
        return text_.find_first_not_of(' ', position_) == std::string::npos;
    }

    bool atDot() {
        if (position_ < text_.size() && text_[position_] == '.') {
            ++position_;
            return true;
        }
        return false;
    }

private:
    const std::string& text_;
    std::size_t position_ = 0;
};

struct Record {
    std::uintmax_t size = 0;
    std::int64_t seconds = 0;
    std::uintmax_t fraction = 0;
    std::size_t fractionDigits = 0;
    std::int64_t check = 0;
};

std::optional<Record> readRecord(const std::string& text) {
    HeaderReader reader(text);
    Record record;
    if (!reader.literal(kTextStart) || !reader.word() || !reader.literal(", input ") ||
        !reader.unsignedNumber(UINTMAX_MAX, record.size) || !reader.literal(" B ") || !reader.signedNumber(record.seconds)) {
        return std::nullopt;
    }
    if (reader.atDot() && (!reader.unsignedNumber(UINTMAX_MAX, record.fraction, &record.fractionDigits) ||
                           record.fractionDigits > 9)) {
        return std::nullopt;
    }
    if (!reader.literal(" s, check ") || !reader.signedNumber(record.check) || !reader.onlySpacesLeft()) {
        return std::nullopt;
    }
    return record;
}

// The input's time at the record's precision: its nanoseconds cut to the record's digits.
bool recordMatches(const Record& record, const InputRecord& input) {
    std::uintmax_t fraction = static_cast<std::uintmax_t>(input.modified.tv_nsec);
    for (std::size_t dropped = record.fractionDigits; dropped < 9; ++dropped) {
        fraction /= 10;
    }
    return record.size == input.size && record.seconds == static_cast<std::int64_t>(input.modified.tv_sec) &&
           record.fraction == fraction;
}

std::string systemReason() {
    return std::strerror(errno);
}

bool writeAll(int descriptor, const void* data, std::size_t size, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = pwrite(descriptor, bytes, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

bool readAll(int descriptor, void* data, std::size_t size, off_t offset) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t count = pread(descriptor, bytes, size, offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
        offset += count;
    }
    return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool lockUnsupported(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

// Calls visit(first) for the first element of each chunk of V, in order, while it returns true; a
// stop signal ends the volume between two chunks. True when every chunk was visited.
template <typename Visit>
bool everyChunk(Visit visit) {
    for (std::size_t first = 0; first < kOutputElements; first += kChunkElements) {
        if (stopRequested()) {
            throw VolumeInterrupted{};
        }
        if (!visit(first)) {
            return false;
        }
    }
    return true;
}

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
    }
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// The hidden file a result is written to, locked while it lives so that another run's cleaning
// leaves it alone. Removed unless it was renamed into place.
class Temporary {
public:
    explicit Temporary(int folder) : folder_(folder) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (descriptor_ >= 0) {
            if (!name_.empty()) {
                unlinkat(folder_, name_.c_str(), 0);
            }
            close(descriptor_);
        }
    }

    // False with errno set when no temporary can be made.
    bool create() {
        thread_local std::mt19937_64 generator{std::random_device{}()};
        constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = kTemporaryPrefix;
            for (int i = 0; i < 6; ++i) {
                name += kLetters[generator() % (sizeof kLetters - 1)];
            }
            name += kTemporarySuffix;
            // Created with the mode a new file gets, as the result should have.
            const int descriptor = openat(folder_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (descriptor < 0) {
                if (errno == EEXIST) {
                    continue;
                }
                return false;
            }
            if (!lock(descriptor)) {
                const int error = errno;
                unlinkat(folder_, name.c_str(), 0);
                close(descriptor);
                errno = error;
                return false;
            }
            if (stillNamed(descriptor, name)) {
                descriptor_ = descriptor;
                name_ = name;
                return true;
            }
            close(descriptor);
        }
        errno = EEXIST;
        return false;
    }

    int descriptor() const { return descriptor_; }

    // Renames it into place; the folder is then synced, so that the new name survives a crash.
    bool commit(const std::string& resultName) {
        if (renameat(folder_, name_.c_str(), folder_, resultName.c_str()) != 0) {
            return false;
        }
        name_.clear();
        return fsync(folder_) == 0 || errno == EINVAL;
    }

private:
    // Where the file system has no locks, no other run can take the file for abandoned either.
    static bool lock(int descriptor) {
        int locked = 0;
        do {
            locked = flock(descriptor, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        return locked == 0 || lockUnsupported(errno);
    }

    // Another run may have taken the fresh file for abandoned and removed it before the lock was
    // ours: it counts only if the name still leads to it once locked.
    bool stillNamed(int descriptor, const std::string& name) const {
        struct stat opened {};
        struct stat named {};
        return fstat(descriptor, &opened) == 0 && fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               sameFile(opened, named);
    }

    int folder_;
    int descriptor_ = -1;
    std::string name_;
};

}  // namespace

InputRecord recordOf(const struct stat& input) {
    return InputRecord{static_cast<std::uintmax_t>(input.st_size), input.st_mtim};
}

std::string writeResult(int folder, const std::string& resultName, const float* volume, const InputRecord& input) {
    Temporary temporary(folder);
    if (!temporary.create()) {
        return systemReason();
    }
    double check = 0;
    const bool written = everyChunk([&](std::size_t first) {
        check += weightedSum(volume + first, kChunkElements, first);
        return writeAll(temporary.descriptor(), volume + first, kChunkBytes,
                        static_cast<off_t>(kResultDataOffset + first * sizeof(float)));
    });
    if (!written) {
        return systemReason();
    }
    const std::optional<std::string> text = headerText(input, static_cast<std::int64_t>(check));
    if (!text) {
        return "the input's size and time don't fit in the header";
    }
    const FixedBytes fixed = fixedBytes();
    unsigned char header[kResultDataOffset];
    std::memcpy(header, text->data(), kHeaderTextBytes);
    std::memcpy(header + kHeaderTextBytes, fixed.data(), fixed.size());
    if (!writeAll(temporary.descriptor(), header, sizeof header, 0) || fsync(temporary.descriptor()) != 0 ||
        !temporary.commit(resultName)) {
        return systemReason();
    }
    return "";
}

bool resultIsCurrent(int folder, const std::string& resultName, const InputRecord& input) {
    const Descriptor file(openat(folder, resultName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uintmax_t>(status.st_size) != kResultFileBytes) {
        return false;
    }
    unsigned char header[kResultDataOffset];
    if (!readAll(file.get(), header, sizeof header, 0)) {
        return false;
    }
    const std::optional<Record> record = readRecord(std::string(reinterpret_cast<const char*>(header), kHeaderTextBytes));
    const FixedBytes fixed = fixedBytes();
    if (!record || std::memcmp(header + kHeaderTextBytes, fixed.data(), fixed.size()) != 0 ||
        !recordMatches(*record, input)) {
        return false;
    }
    const std::unique_ptr<float[]> chunk(new float[kChunkElements]);
    double check = 0;
    const bool whole = everyChunk([&](std::size_t first) {
        if (!readAll(file.get(), chunk.get(), kChunkBytes, static_cast<off_t>(kResultDataOffset + first * sizeof(float))) ||
            !std::all_of(chunk.get(), chunk.get() + kChunkElements, isReducedValue)) {
            return false;
        }
        check += weightedSum(chunk.get(), kChunkElements, first);
        return true;
    });
    return whole && static_cast<std::int64_t>(check) == record->check;
}

void removeAbandonedTemporaries(int folder) {
    const int listing = dup(folder);
    DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
    if (entries == nullptr) {
        if (listing >= 0) {
            close(listing);
        }
        return;
    }
    rewinddir(entries);
    const std::string prefix = kTemporaryPrefix;
    const std::string suffix = kTemporarySuffix;
    while (const dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const Descriptor file(openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        struct stat named {};
        // Its writer is gone when its lock can be had; a live writer holds it until the rename.
        if (file.get() >= 0 && fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
            flock(file.get(), LOCK_EX | LOCK_NB) == 0 &&
            fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(opened, named)) {
            unlinkat(folder, name.c_str(), 0);
        }
    }
    closedir(entries);
}

}  // namespace quarnel::command
