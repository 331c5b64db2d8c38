// The result files, whole or not at all, each recording where it came from so that --resume can
// tell it is still the reduction of its input. Both store the slowest axis last, so that each is
// written a slice at a time as the sweep makes them; the header, with the record and its check
// sum, goes in last. docs/command.md has their layouts.
//
// NAME.mat: V, ⌊Y/2⌋ x ⌊X/2⌋ x ⌊Z/2⌋ single, in an uncompressed level 5 MAT-file. Every byte is
// fixed by the layout but the record, in the header text: "MATLAB 5.0 MAT-file, Quarnel VERSION,
// input SIZE B MTIME s, check CHECK", padded to 116 bytes with spaces. SIZE is the input's size in
// bytes, MTIME its modification time as seconds, "." and nanoseconds in 9 digits (or fewer, or
// none: a record is compared at its own precision).
//
// NAME.nii: a NIfTI-1 image in one file: float32, ⌊X/2⌋ x ⌊Y/2⌋ x ⌊Z/2⌋ in the input's own axis
// order, its voxels twice the input's, centred on their blocks. The record is a comment
// extension: "Quarnel VERSION, input SIZE B MTIME s, [OPTIONS, ]voxel SX SY SZ mm, check CHECK",
// OPTIONS being the input's layout as --shape, --type, --byte-order and --header-bytes give it,
// where it is not the default.
//
// CHECK, in both, is the sum over the file's elements k of T(E[k]) * ((k mod 8191) + 1), plus the
// layout's code (0 for the default layout, else a hash of OPTIONS), all modulo 2^64 and written as
// a signed number; T(E) is E for integer samples, and E's 32 bits as an unsigned number for float32.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "durable_write.h"
#include "raw_layout.h"

namespace quarnel::command {

enum class Format { mat, nifti, zarr };

// Where a result came from: the input as it was reduced (its size and modification time, its
// layout) and its voxel edges in millimetres along its columns, rows and slices.
struct Provenance {
    unsigned long long size = 0;
    timespec modified{};
    std::array<double, 3> voxelSize{};
    RawLayout layout;
};

// NAME.mat, NAME.nii or NAME.ome.zarr for the volume's NAME.
std::string resultName(const std::string& name, Format format);

// The check sum's terms for `count` elements of a result, the first the result's element
// `firstIndex` in its own order, modulo 2^64; and whether a value can be a mean of the samples.
std::uint64_t checkTerms(const float* values, std::size_t count, std::uint64_t firstIndex, SampleType type);
bool isReducedValue(float value, SampleType type);

// The code a layout adds to a check sum: 0 for the default.
std::uint64_t layoutCode(const RawLayout& layout);

// The fewest digits that give a number back: 0.5, not 0.50000000000000000.
std::string shortestText(double value);

// A record as the NIfTI and OME-Zarr results hold it: "Quarnel VERSION, input SIZE B MTIME s,
// [OPTIONS, ]voxel SX SY SZ mm, [EXTRA, ]check CHECK".
std::string recordText(const char* version, const Provenance& provenance, const std::string& extra, long long check);

// The version and check that a record names, parsed from its start; false when it names none.
bool parseRecord(const char* record, char (&version)[32], long long& check);

// The size of every result of a format that is one file, mat or nifti, for inputs of a layout.
std::uint64_t resultFileBytes(Format format, const RawLayout& layout);

// The options that give a layout, as a record names them: "" for the default layout.
std::string layoutOptions(const RawLayout& layout);

// A result being written into a temporary of the output folder (open as `folder`, at
// `folderPath`), a slice at a time; removed unless it is finished. Each call returns false when it
// fails, with errno set.
class ResultWriter {
public:
    ResultWriter(Format format, const std::string& folderPath, int folder, const RawLayout& layout);
    // Makes the temporary, and the buffer the slices are written through.
    bool begin();
    // Adds the next slice of level 0, ⌊X/2⌋ x ⌊Y/2⌋ floats, x fastest.
    bool add(const float* slice);
    // Writes what is left, then the header, and renames the file to `name`: whole, or not at all,
    // any file of that name kept as it was. EOVERFLOW when the record doesn't fit.
    bool finish(const std::string& name, const Provenance& provenance);

private:
    bool flush();

    Format format_;
    RawLayout layout_;
    Temporary temporary_;
    std::unique_ptr<float[]> buffer_;
    std::size_t capacity_ = 0;  // elements
    std::size_t filled_ = 0;
    std::uint64_t written_ = 0;  // elements before the buffer's first
    std::uint64_t check_ = 0;
};

// True when the result `name` in the folder is whole, its data consistent with its check, and its
// record matches the provenance. Throws VolumeInterrupted when a stop is asked for meanwhile, and
// std::bad_alloc when there is no memory to read it through.
bool resultIsCurrent(Format format, int folder, const std::string& name, const Provenance& provenance);

}  // namespace quarnel::command
