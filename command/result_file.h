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
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace quarnel::command {

constexpr off_t kResultFileBytes = 67109056;

// The input as it was reduced: its size and modification time.
struct InputRecord {
    unsigned long long size = 0;
    timespec modified{};
};

// Writes V as resultName in the output folder (open as `folder`, at `folderPath`), whole or not at
// all. Returns an empty string, or the reason it failed ("No space left on device"), leaving an
// existing resultName as it was. Throws VolumeInterrupted when a stop is asked for.
std::string writeResult(const std::string& folderPath, int folder, const std::string& resultName, const float* volume,
                        const InputRecord& input);

// True when resultName in the folder is a whole result, its data consistent with its check, and
// its record matches the input as it is now. Reads the file through `chunk`, 1 MiB. Throws
// VolumeInterrupted when a stop is asked for meanwhile.
bool resultIsCurrent(int folder, const std::string& resultName, const InputRecord& input, float* chunk);

}  // namespace quarnel::command
