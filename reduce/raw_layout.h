// A raw volume of any shape: a header of a fixed number of bytes, then X x Y x Z samples of one
// type in one byte order, the column index x varying fastest, then the row y, then the slice z, so
// that sample (x, y, z) lies at byte header + B * (x + X * (y + Y * z)), B being a sample's bytes.
// 512 x 512 x 512 little-endian int16 without a header is the volume the module reads.
//
// Its reduction comes in levels: level 0 holds the means of its 2 x 2 x 2 blocks, level k those of
// its blocks of 2^(k+1) samples along each axis. Each edge of a level is half the edge of the
// level before, rounded down: of an odd edge the last column, row or slice is left out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarnel {

enum class SampleType { int16, uint16, uint8, float32 };
enum class ByteOrder { little, big };

struct RawLayout {
    std::array<std::uint32_t, 3> edges{512, 512, 512};  // X, Y and Z: columns, rows, slices
    SampleType type = SampleType::int16;
    ByteOrder byteOrder = ByteOrder::little;
    std::uint64_t headerBytes = 0;
};

inline bool operator==(const RawLayout& a, const RawLayout& b) {
    return a.edges == b.edges && a.type == b.type && a.byteOrder == b.byteOrder && a.headerBytes == b.headerBytes;
}

constexpr std::uint32_t kLeastEdge = 2;
constexpr std::uint32_t kMostEdge = 65535;

constexpr std::size_t sampleBytes(SampleType type) {
    return type == SampleType::uint8 ? 1 : type == SampleType::float32 ? 4 : 2;
}

// The bytes of the file that the volume takes: its header and all its samples. Edges of at most
// kMostEdge keep the samples' bytes below 2^50; the header may make the sum wrap, which
// a caller rules out first.
constexpr std::uint64_t volumeBytes(const RawLayout& layout) {
    return layout.headerBytes + std::uint64_t{layout.edges[0]} * layout.edges[1] * layout.edges[2] * sampleBytes(layout.type);
}

// X, Y and Z of level `level` of the reduction.
constexpr std::array<std::uint32_t, 3> levelEdges(const RawLayout& layout, std::size_t level) {
    const auto shift = static_cast<unsigned>(level + 1);
    return {layout.edges[0] >> shift, layout.edges[1] >> shift, layout.edges[2] >> shift};
}

}  // namespace quarnel
