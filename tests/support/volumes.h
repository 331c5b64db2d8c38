// Raw volumes for tests: made in memory, written to temporary files, and reduced the slow, obvious
// way straight from the file layout, as the reference every faster or hosted reduction must match.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quarnel::testing {

constexpr std::size_t kVolumeSamples = 512u * 512u * 512u;
constexpr std::size_t kReducedElements = 256u * 256u * 256u;
constexpr std::size_t kPairSamples = 2u * 512u * 512u;
constexpr std::size_t kReducedSliceElements = 256u * 256u;

using Volume = std::vector<std::int16_t>;

// Every sample drawn uniformly from the whole int16 range, the same for the same seed; fewer
// samples than a volume's give its first slices.
Volume randomVolume(std::uint32_t seed, std::size_t samples = kVolumeSamples);

// Sample (x, y, z) of a volume laid out as the file is.
inline std::int16_t& sampleAt(Volume& volume, std::size_t x, std::size_t y, std::size_t z) {
    return volume[x + 512 * y + 262144 * z];
}

// The reduced volume, element (r, c, s) at r + 256 c + 65536 s, each the sum of its eight samples
// divided by 8 toward zero. A volume of fewer slice pairs than 256 reduces to as many slices.
std::vector<float> referenceReduction(const Volume& volume);

// Paths in tests are UTF-8 text on every system, as the host's characters are turned into them.

// A fresh path in the system's temporary folder; the file is removed when the process ends.
std::string temporaryPath(const std::string& name);

// std::fopen for a UTF-8 path, also where the system's narrow file names are in another code page.
std::FILE* openFile(const std::string& path, const char* mode);

// Writes the samples little-endian, then `extraBytes` more bytes of 0x55.
void writeVolume(const std::string& path, const Volume& volume, std::size_t extraBytes = 0);
// Writes `size` bytes of 0x01.
void writeBytes(const std::string& path, std::size_t size);
// A fresh temporary file of `size` zero bytes, sparse where the system allows, so cheap at any
// size; `name` may hold folders, which are made.
std::string sparseFile(const std::string& name, std::uintmax_t size);
// Overwrites the file's bytes from `offset` on with `bytes`.
void writeAt(const std::string& path, std::uintmax_t offset, const std::vector<unsigned char>& bytes);

// A whole volume of zeros, written once per process and shared by the tests that need any volume.
const std::string& zeroVolumeFile();

// Bitwise equality, so that -0.0 and +0.0 differ and NaN equals itself; reports the first mismatch.
bool sameBits(const std::vector<float>& expected, const float* actual, std::string* firstMismatch);

}  // namespace quarnel::testing
