#include "pyramid.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "stop.h"

namespace quarnel::command {

namespace {

constexpr std::size_t kChunkEdge = 64;

std::array<std::size_t, 3> edgesOf(const RawLayout& layout, std::size_t level) {
    const std::array<std::uint32_t, 3> edges = levelEdges(layout, level);
    return {edges[0], edges[1], edges[2]};
}

std::array<std::size_t, 3> chunkOf(const std::array<std::size_t, 3>& edges) {
    return {std::min(kChunkEdge, edges[0]), std::min(kChunkEdge, edges[1]), std::min(kChunkEdge, edges[2])};
}

std::size_t chunksAlong(std::size_t edge, std::size_t chunk) { return (edge + chunk - 1) / chunk; }

// "k/cz/cy/cx": a chunk's file, the key's parts in the array's z, y, x order.
std::string chunkPath(std::size_t level, std::size_t z, std::size_t y, std::size_t x) {
    return std::to_string(level) + "/" + std::to_string(z) + "/" + std::to_string(y) + "/" + std::to_string(x);
}

// A JSON list of three, in z, y, x order, of axes given in x, y, z order.
template <typename Value, typename Text>
std::string zyx(const std::array<Value, 3>& xyz, Text text) {
    return "[" + text(xyz[2]) + ", " + text(xyz[1]) + ", " + text(xyz[0]) + "]";
}

std::string whole(std::size_t value) { return std::to_string(value); }

const char kGroup[] = "{\n  \"zarr_format\": 2\n}\n";

std::string arrayText(const std::array<std::size_t, 3>& edges) {
    return "{\n"
           "  \"chunks\": " + zyx(chunkOf(edges), whole) + ",\n"
           "  \"compressor\": null,\n"
           "  \"dimension_separator\": \"/\",\n"
           "  \"dtype\": \"<f4\",\n"
           "  \"fill_value\": 0.0,\n"
           "  \"filters\": null,\n"
           "  \"order\": \"C\",\n"
           "  \"shape\": " + zyx(edges, whole) + ",\n"
           "  \"zarr_format\": 2\n"
           "}\n";
}

// Level k's voxel is 2^(k+1) input voxels along each axis, and its first voxel's centre the centre
// of the input's first 2^(k+1) voxels, the input's first voxel centred at 0.
std::string attributesText(const Provenance& provenance, std::size_t levels, const std::string& record) {
    std::string datasets;
    for (std::size_t level = 0; level < levels; ++level) {
        const auto blocks = static_cast<double>(std::uint64_t{2} << level);
        std::array<double, 3> scale{};
        std::array<double, 3> translation{};
        for (std::size_t axis = 0; axis < 3; ++axis) {
            scale[axis] = provenance.voxelSize[axis] * blocks;
            translation[axis] = (blocks - 1) * provenance.voxelSize[axis] / 2;
        }
        datasets += std::string(level == 0 ? "" : ",\n") + "        {\n" +
                    "          \"coordinateTransformations\": [\n" +
                    "            {\"scale\": " + zyx(scale, shortestText) + ", \"type\": \"scale\"},\n" +
                    "            {\"translation\": " + zyx(translation, shortestText) + ", \"type\": \"translation\"}\n" +
                    "          ],\n" +
                    "          \"path\": \"" + std::to_string(level) + "\"\n" +
                    "        }";
    }
    return "{\n"
           "  \"multiscales\": [\n"
           "    {\n"
           "      \"axes\": [\n"
           "        {\"name\": \"z\", \"type\": \"space\", \"unit\": \"millimeter\"},\n"
           "        {\"name\": \"y\", \"type\": \"space\", \"unit\": \"millimeter\"},\n"
           "        {\"name\": \"x\", \"type\": \"space\", \"unit\": \"millimeter\"}\n"
           "      ],\n"
           "      \"datasets\": [\n" + datasets + "\n"
           "      ],\n"
           "      \"type\": \"mean\",\n"
           "      \"version\": \"0.4\"\n"
           "    }\n"
           "  ],\n"
           "  \"quarnel\": \"" + record + "\"\n"
           "}\n";
}

std::string levelsExtra(std::size_t levels) { return "levels " + std::to_string(levels); }

}  // namespace

// In huge pages where the system gives them: a slab of level 0 is as large as a NIfTI result's
// 64 slices, and faulting in its small pages one by one, for each volume, cost a fifth of its time.
Slab allocateSlab(std::size_t floats) {
    constexpr std::size_t kHugePage = 2 << 20;
    const std::size_t bytes = (floats * sizeof(float) + kHugePage - 1) / kHugePage * kHugePage;
    void* slab = std::aligned_alloc(kHugePage, bytes);
    if (slab == nullptr) throw std::bad_alloc();
    (void)madvise(slab, bytes, MADV_HUGEPAGE);
    return Slab(static_cast<float*>(slab));
}

namespace {

// A small file of the tree, whole; empty when it can't be read or is over 1 MiB.
std::string fileText(int tree, const std::string& path) {
    const Descriptor file(openat(tree, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (file.value < 0 || fstat(file.value, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > (1 << 20)) return "";
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    return pread(file.value, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) ? text : "";
}

}  // namespace

std::size_t mostLevels(const RawLayout& layout) {
    std::size_t levels = 1;
    while (levels < 15) {
        const std::array<std::size_t, 3> next = edgesOf(layout, levels);
        if (*std::min_element(next.begin(), next.end()) == 0) break;
        ++levels;
    }
    return levels;
}

std::size_t defaultLevels(const RawLayout& layout) {
    std::size_t levels = 1;
    while (levels < mostLevels(layout)) {
        const std::array<std::size_t, 3> last = edgesOf(layout, levels - 1);
        if (*std::max_element(last.begin(), last.end()) <= kChunkEdge) break;
        ++levels;
    }
    return levels;
}

std::uint64_t largestChunkBytes(const RawLayout& layout) {
    const std::array<std::size_t, 3> chunk = chunkOf(edgesOf(layout, 0));
    return std::uint64_t{chunk[0]} * chunk[1] * chunk[2] * sizeof(float);
}

PyramidWriter::PyramidWriter(const std::string& folderPath, int folder, const RawLayout& layout, std::size_t levels)
    : layout_(layout), folder_(folderPath, folder), levels_(levels) {}

bool PyramidWriter::begin() {
    for (std::size_t index = 0; index < levels_.size(); ++index) {
        Level& level = levels_[index];
        level.edges = edgesOf(layout_, index);
        level.chunk = chunkOf(level.edges);
        level.chunks = {chunksAlong(level.edges[0], level.chunk[0]), chunksAlong(level.edges[1], level.chunk[1])};
        // Zeroed where chunks reach beyond the array, whose parts there are never written into.
        const std::size_t floats = level.chunks[0] * level.chunks[1] * level.chunk[0] * level.chunk[1] * level.chunk[2];
        level.slab = allocateSlab(floats);
        if (level.edges[0] % level.chunk[0] != 0 || level.edges[1] % level.chunk[1] != 0) std::fill_n(level.slab.get(), floats, 0.0f);
    }
    return folder_.create() && folder_.write(".zgroup", kGroup, sizeof kGroup - 1);
}

bool PyramidWriter::add(std::size_t index, const float* slice) {
    Level& level = levels_[index];
    const auto [width, height, depth] = level.edges;
    const auto [chunkWidth, chunkHeight, chunkDepth] = level.chunk;
    const std::size_t chunkFloats = chunkWidth * chunkHeight * chunkDepth;
    const std::size_t z = level.slices % chunkDepth;
    for (std::size_t y = 0; y < height; ++y) {
        float* chunkRow = level.slab.get() + (y / chunkHeight * level.chunks[0]) * chunkFloats + (z * chunkHeight + y % chunkHeight) * chunkWidth;
        for (std::size_t x = 0; x < width; x += chunkWidth, chunkRow += chunkFloats) {
            std::memcpy(chunkRow, slice + y * width + x, std::min(chunkWidth, width - x) * sizeof(float));
        }
    }
    check_ += checkTerms(slice, width * height, std::uint64_t{level.slices} * width * height, layout_.type);
    ++level.slices;
    return (level.slices % chunkDepth != 0 && level.slices != depth) || writeSlab(index);
}

// The chunks of the slab's row, each as it lies in the slab. Of the last row of an array whose
// depth is no multiple of the chunk's, what lies beyond the array is zeroed first.
bool PyramidWriter::writeSlab(std::size_t index) {
    Level& level = levels_[index];
    const auto [chunkWidth, chunkHeight, chunkDepth] = level.chunk;
    const std::size_t chunkFloats = chunkWidth * chunkHeight * chunkDepth;
    const std::size_t chunkZ = (level.slices - 1) / chunkDepth;
    const std::size_t slices = level.slices - chunkZ * chunkDepth;
    for (std::size_t chunk = 0; chunk < level.chunks[0] * level.chunks[1]; ++chunk) {
        float* data = level.slab.get() + chunk * chunkFloats;
        std::fill(data + slices * chunkWidth * chunkHeight, data + chunkFloats, 0.0f);
        if (!folder_.write(chunkPath(index, chunkZ, chunk / level.chunks[0], chunk % level.chunks[0]), data, chunkFloats * sizeof(float))) {
            return false;
        }
    }
    return true;
}

bool PyramidWriter::finish(const std::string& name, const Provenance& provenance) {
    for (std::size_t index = 0; index < levels_.size(); ++index) {
        const std::string text = arrayText(levels_[index].edges);
        if (!folder_.write(std::to_string(index) + "/.zarray", text.data(), text.size())) return false;
    }
    const std::uint64_t sum = check_ + layoutCode(layout_);
    const auto check = static_cast<long long>(sum);
    const std::string attributes = attributesText(provenance, levels_.size(), recordText(QUARNEL_VERSION, provenance, levelsExtra(levels_.size()), check));
    return folder_.write(".zattrs", attributes.data(), attributes.size()) && folder_.commit(name);
}

bool pyramidIsCurrent(int folder, const std::string& name, const Provenance& provenance, std::size_t levels) {
    const Descriptor tree(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (tree.value < 0 || fileText(tree.value, ".zgroup") != kGroup) return false;
    const std::string attributes = fileText(tree.value, ".zattrs");
    const std::size_t record = attributes.find("\"quarnel\": \"");
    char version[32] = "";
    long long check = 0;
    if (record == std::string::npos || !parseRecord(attributes.c_str() + record + 12, version, check) ||
        attributes != attributesText(provenance, levels, recordText(version, provenance, levelsExtra(levels), check))) {
        return false;
    }
    const SampleType type = provenance.layout.type;
    const std::unique_ptr<float[]> chunk(new float[largestChunkBytes(provenance.layout) / sizeof(float)]);
    std::uint64_t sum = layoutCode(provenance.layout);
    for (std::size_t index = 0; index < levels; ++index) {
        const std::array<std::size_t, 3> edges = edgesOf(provenance.layout, index);
        const auto [chunkWidth, chunkHeight, chunkDepth] = chunkOf(edges);
        if (fileText(tree.value, std::to_string(index) + "/.zarray") != arrayText(edges)) return false;
        const std::size_t chunkBytes = chunkWidth * chunkHeight * chunkDepth * sizeof(float);
        for (std::size_t chunkZ = 0; chunkZ < chunksAlong(edges[2], chunkDepth); ++chunkZ) {
            for (std::size_t chunkY = 0; chunkY < chunksAlong(edges[1], chunkHeight); ++chunkY) {
                for (std::size_t chunkX = 0; chunkX < chunksAlong(edges[0], chunkWidth); ++chunkX) {
                    if (stopRequested()) throw VolumeInterrupted{};
                    const Descriptor file(openat(tree.value, chunkPath(index, chunkZ, chunkY, chunkX).c_str(),
                                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
                    struct stat status {};
                    if (file.value < 0 || fstat(file.value, &status) != 0 || !S_ISREG(status.st_mode) ||
                        static_cast<std::size_t>(status.st_size) != chunkBytes ||
                        pread(file.value, chunk.get(), chunkBytes, 0) != static_cast<ssize_t>(chunkBytes)) {
                        return false;
                    }
                    // The rows of the chunk that lie in the array, each its elements' run in the array.
                    const std::size_t x = chunkX * chunkWidth;
                    const std::size_t columns = std::min(chunkWidth, edges[0] - x);
                    for (std::size_t z = chunkZ * chunkDepth; z < std::min(edges[2], (chunkZ + 1) * chunkDepth); ++z) {
                        for (std::size_t y = chunkY * chunkHeight; y < std::min(edges[1], (chunkY + 1) * chunkHeight); ++y) {
                            const float* row = chunk.get() + ((z - chunkZ * chunkDepth) * chunkHeight + y - chunkY * chunkHeight) * chunkWidth;
                            if (!std::all_of(row, row + columns, [type](float value) { return isReducedValue(value, type); })) return false;
                            sum += checkTerms(row, columns, (z * edges[1] + y) * edges[0] + x, type);
                        }
                    }
                }
            }
        }
    }
    return static_cast<long long>(sum) == check;
}

}  // namespace quarnel::command
