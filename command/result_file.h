// The result files, whole or not at all, each recording where it came from so that --resume can
// tell it is still the reduction of its input.
//
// NAME.mat: V in an uncompressed level 5 MAT-file (docs/command.md has its layout), 67109056 bytes.
// Every byte is fixed but the record, in the header text: "MATLAB 5.0 MAT-file, Quarnel VERSION,
// input SIZE B MTIME s, check CHECK", padded to 116 bytes with spaces. SIZE is the input's size in
// bytes, MTIME its modification time as seconds, "." and nanoseconds in 9 digits (or fewer, or
// none: a record is compared at its own precision), CHECK the sum over the file's elements
// k = 0 .. 16777215 of E[k] * ((k mod 8191) + 1).
//
// NAME.nii: a NIfTI-1 image in one file, 67109504 bytes: float32, 256 x 256 x 256, its first axis
// along the input's columns (V's second), its voxels twice the input's, centred on their blocks.
// The record is a comment extension: "Quarnel VERSION, input SIZE B MTIME s, voxel SX SY SZ mm,
// check CHECK", the voxel edges of the input as given.
#pragma once

#include <sys/stat.h>

#include <array>
#include <string>

namespace quarnel::command {

enum class Format { mat, nifti };

// The scratch a worker lends to writing and reading results back, a chunk at a time: 1 MiB.
constexpr std::size_t kChunkElements = (1 << 20) / sizeof(float);

// Where a result came from: the input as it was reduced, its size and modification time, and the
// input's voxel edges in millimetres along its columns, rows and slices.
struct Provenance {
    unsigned long long size = 0;
    timespec modified{};
    std::array<double, 3> voxelSize{};
};

// NAME.mat or NAME.nii for the volume's NAME.
std::string resultName(const std::string& name, Format format);

// Every result of a format has this size.
off_t resultFileBytes(Format format);

// Writes V as the result `name` in the output folder (open as `folder`, at `folderPath`), whole or
// not at all. Returns an empty string, or the reason it failed ("No space left on device"), leaving
// an existing file of that name as it was. Throws VolumeInterrupted when a stop is asked for.
std::string writeResult(Format format, const std::string& folderPath, int folder, const std::string& name, const float* volume,
                        const Provenance& provenance, float* chunk);

// True when the result `name` in the folder is whole, its data consistent with its check, and its
// record matches the provenance. Throws VolumeInterrupted when a stop is asked for meanwhile.
bool resultIsCurrent(Format format, int folder, const std::string& name, const Provenance& provenance, float* chunk);

}  // namespace quarnel::command
