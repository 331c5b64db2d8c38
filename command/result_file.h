// NAME.mat: the reduced volume V in an uncompressed level 5 MAT-file whose header text records
// where it came from. Every byte is fixed but that record:
//
//   0-115    "MATLAB 5.0 MAT-file, Quarnel VERSION, input SIZE B MTIME s, check CHECK", padded
//            with spaces. SIZE is the input's size in bytes, MTIME its modification time as
//            seconds, "." and nanoseconds in 9 digits (a record may hold 0 to 9 digits, or no
//            "." at all, and is compared at its own precision), CHECK the sum over V's elements
//            k = 0 .. 16777215 of V[k] * ((k mod 8191) + 1).
//   116-127  eight spaces (no subsystem data), version 0x0100, "IM" (little-endian)
//   128-191  miMATRIX of 67108920 bytes: flags (single, real), dimensions 256 x 256 x 256,
//            name "V", and the tag of the real part: miSINGLE, 67108864 bytes
//   192-     V's 16777216 floats in column-major order, little-endian
//
// It is written under a hidden temporary name that no *.mat glob matches, synced, renamed into
// place, and the folder synced, so NAME.mat is either whole or not there.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quarnel::command {

constexpr std::size_t kResultFileBytes = 67109056;
constexpr std::size_t kResultDataOffset = 192;

// The hidden temporaries: ".quarnel-XXXXXX.partial".
constexpr const char* kTemporaryPrefix = ".quarnel-";
constexpr const char* kTemporarySuffix = ".partial";

// The input as it was reduced: its size and modification time.
struct InputRecord {
    std::uintmax_t size = 0;
    timespec modified{};
};

InputRecord recordOf(const struct stat& input);

// Writes V as outputFolder/resultName through a temporary in the folder (given also as the open
// descriptor folder). Returns an empty string on success, else the reason, such as "No space left
// on device" or "interrupted", with nothing left behind but an existing resultName, untouched.
std::string writeResult(int folder, const std::string& resultName, const float* volume, const InputRecord& input);

// True when folder/resultName is a whole result file, its data consistent with its check, and
// its record matches the input as it is now. Reads the whole file. Throws VolumeInterrupted when
// a stop signal comes meanwhile.
bool resultIsCurrent(int folder, const std::string& resultName, const InputRecord& input);

// Removes the temporaries that killed runs left in the folder: each one whose lock can be taken,
// as a live writer holds its own. Where the file system has no locks, they stay.
void removeAbandonedTemporaries(int folder);

}  // namespace quarnel::command
