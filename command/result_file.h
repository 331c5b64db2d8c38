// NAME.mat: the reduced volume V in an uncompressed level 5 MAT-file (docs/command.md has its
// layout), 67109056 bytes. Every byte is fixed but the record of where V came from, in the header
// text: "MATLAB 5.0 MAT-file, Quarnel VERSION, input SIZE B MTIME s, check CHECK", padded to 116
// bytes with spaces. SIZE is the input's size in bytes, MTIME its modification time as seconds,
// "." and nanoseconds in 9 digits (or fewer, or none: a record is compared at its own precision),
// CHECK the sum over V's elements k = 0 .. 16777215 of V[k] * ((k mod 8191) + 1).
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
