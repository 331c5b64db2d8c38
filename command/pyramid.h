// NAME.ome.zarr: the reduction's levels (raw_layout.h) as an OME-Zarr 0.4 image on Zarr version 2,
// one array a level, level 0 the very means NAME.nii holds. Each array is float32 in z, y, x order,
// cut in chunks of 64 x 64 x 64 (smaller where the array is), one uncompressed file a chunk; the
// group's .zattrs holds the multiscale metadata and, under "quarnel", the record --resume checks.
// docs/command.md has the layout.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "durable_write.h"
#include "raw_layout.h"
#include "result_file.h"

namespace quarnel::command {

// The most levels a pyramid may have: a level has no edge of 0.
std::size_t mostLevels(const RawLayout& layout);

// The levels a pyramid has unless asked for: until every edge of the last is at most 64, or the
// next would have an edge of 0.
std::size_t defaultLevels(const RawLayout& layout);

// The bytes of each chunk file of a pyramid's largest chunks.
std::uint64_t largestChunkBytes(const RawLayout& layout);

struct FreeSlab {
    void operator()(float* slab) const { std::free(slab); }
};
using Slab = std::unique_ptr<float[], FreeSlab>;
Slab allocateSlab(std::size_t floats);

// A pyramid being written into a temporary folder of the output folder, a slice of a level at a
// time: each level holds one row of chunks, each chunk's floats in the order of its file, into
// which each slice's rows go as they come; once the row is full, each chunk is written as it lies.
// Removed unless finished. Each call returns false when it fails, with errno set.
class PyramidWriter {
public:
    PyramidWriter(const std::string& folderPath, int folder, const RawLayout& layout, std::size_t levels);
    bool begin();
    // Adds the next slice of `level`, its X x Y floats, x fastest.
    bool add(std::size_t level, const float* slice);
    // Writes the arrays' and the group's metadata, the record last, and renames the folder to
    // `name`, in place of any pyramid of that name.
    bool finish(const std::string& name, const Provenance& provenance);

private:
    struct Level {
        std::array<std::size_t, 3> edges;  // X, Y, Z
        std::array<std::size_t, 3> chunk;  // the chunks' edges, along the same axes
        std::array<std::size_t, 2> chunks;  // along x and y
        Slab slab;                          // chunks[1] x chunks[0] chunks, y slowest
        std::size_t slices = 0;
    };
    bool writeSlab(std::size_t index);

    RawLayout layout_;
    TemporaryFolder folder_;
    std::vector<Level> levels_;
    std::uint64_t check_ = 0;
};

// True when the pyramid `name` in the folder has the metadata this provenance and count of levels
// give, with the version and check its record names, every chunk file whole, and values that are
// consistent with the check. Throws VolumeInterrupted when a stop is asked for meanwhile.
bool pyramidIsCurrent(int folder, const std::string& name, const Provenance& provenance, std::size_t levels);

}  // namespace quarnel::command
