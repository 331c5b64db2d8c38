// The sweep of a raw volume of any layout (raw_layout.h): it reads the file front to back, a slice
// at a time, and hands on each slice of each level of the reduction as soon as the slices read
// complete it, as floats, x fastest. A mean is the block's sum divided by its count of samples:
//   - integer samples: the exact sum, divided with truncation toward zero; every mean is then a
//     whole number within the sample type's range, which the float holds exactly;
//   - float32 samples: each widened to double, added in pairs along x first, those sums in pairs
//     along y, then those along z, and the sum divided and rounded to the nearest float. A coarser
//     level adds the double sums of the level before in the same order. NaN and infinities follow
//     IEEE arithmetic; of two NaNs a sum takes the first's, as x86 and arm64 do.
// Besides one input slice it holds, for each level, a plane of sums and a plane of means.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>

#include "raw_layout.h"

namespace quarnel {

enum class SweepOutcome { done, stopped, shortRead, noMemory };

// Takes slice `slice` of level `level`: its means, X x Y of that level, x fastest. Returning false
// stops the sweep.
using SliceSink = std::function<bool(std::size_t level, std::size_t slice, const float* means)>;

// Reads the volume from `input`, from byte layout.headerBytes on, and hands on the slices of levels
// 0 to levels - 1, each level's in order; every edge of those levels must be at least 1. Slices
// that no block of level 0 takes (the last of an odd Z) are not read. A file that ends, or fails,
// before the last slice read gives shortRead; samples are read on little-endian CPUs.
SweepOutcome sweepVolume(std::FILE* input, const RawLayout& layout, std::size_t levels, const SliceSink& sink);

}  // namespace quarnel
