#include "volumes.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace quarnel::testing {

namespace {

// The tests' temporary folder, removed with everything in it when the process ends.
struct TemporaryFolder {
    std::string path;
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::u8path(path), ignored);
    }
};

void writeFile(const std::string& path, const void* data, std::size_t size, std::size_t extraBytes) {
    std::FILE* file = openFile(path, "wb");
    if (file == nullptr) {
        throw std::runtime_error("can't create " + path);
    }
    bool written = std::fwrite(data, 1, size, file) == size;
    if (extraBytes > 0) {  // an empty vector's data may be null, which fwrite must not get
        const std::vector<unsigned char> extra(extraBytes, 0x55);
        written = written && std::fwrite(extra.data(), 1, extra.size(), file) == extra.size();
    }
    written = std::fclose(file) == 0 && written;
    if (!written) {
        throw std::runtime_error("can't write " + path);
    }
}

}  // namespace

Volume randomVolume(std::uint32_t seed, std::size_t samples) {
    std::mt19937 generator(seed);
    Volume volume(samples);
    for (std::size_t i = 0; i + 1 < samples; i += 2) {
        const std::uint32_t bits = generator();
        volume[i] = static_cast<std::int16_t>(bits & 0xFFFF);
        volume[i + 1] = static_cast<std::int16_t>(bits >> 16);
    }
    return volume;
}

std::vector<float> referenceReduction(const Volume& volume) {
    const std::size_t slices = volume.size() / kPairSamples;
    std::vector<float> reduced(slices * kReducedSliceElements);
    for (std::size_t s = 0; s < slices; ++s) {
        for (std::size_t c = 0; c < 256; ++c) {
            for (std::size_t r = 0; r < 256; ++r) {
                std::int32_t sum = 0;
                for (std::size_t z = 2 * s; z < 2 * s + 2; ++z) {
                    for (std::size_t y = 2 * r; y < 2 * r + 2; ++y) {
                        for (std::size_t x = 2 * c; x < 2 * c + 2; ++x) {
                            sum += volume[x + 512 * y + 262144 * z];
                        }
                    }
                }
                reduced[r + 256 * c + 65536 * s] = static_cast<float>(sum / 8);
            }
        }
    }
    return reduced;
}

std::string temporaryPath(const std::string& name) {
    static const TemporaryFolder folder{[] {
        std::random_device entropy;
        const auto base = std::filesystem::temp_directory_path() /
                          ("quarnel-tests-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        std::filesystem::create_directories(base);
        return base.u8string();
    }()};
    return (std::filesystem::u8path(folder.path) / std::filesystem::u8path(name)).u8string();
}

std::FILE* openFile(const std::string& path, const char* mode) {
#ifdef _WIN32
    const std::string narrowMode(mode);
    return _wfopen(std::filesystem::u8path(path).c_str(), std::wstring(narrowMode.begin(), narrowMode.end()).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

void writeVolume(const std::string& path, const Volume& volume, std::size_t extraBytes) {
    writeFile(path, volume.data(), volume.size() * sizeof(std::int16_t), extraBytes);
}

void writeBytes(const std::string& path, std::size_t size) {
    const std::vector<unsigned char> bytes(size, 0x01);
    writeFile(path, bytes.data(), bytes.size(), 0);
}

std::string sparseFile(const std::string& name, std::uintmax_t size) {
    const std::string path = temporaryPath(name);
    std::filesystem::create_directories(std::filesystem::u8path(path).parent_path());
    std::FILE* file = openFile(path, "wb");
    if (file == nullptr || std::fclose(file) != 0) {
        throw std::runtime_error("can't create " + path);
    }
    // The last byte alone is written, the rest left a hole. MinGW's resize_file, which first checks
    // the drive's free space, has been seen to fail under Wine with "File too large".
    if (size > 0) {
        writeAt(path, size - 1, {0});
    }
    return path;
}

void writeAt(const std::string& path, std::uintmax_t offset, const std::vector<unsigned char>& bytes) {
    std::FILE* file = openFile(path, "r+b");
    const bool written = file != nullptr && std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
                         std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file == nullptr || std::fclose(file) != 0 || !written) {
        throw std::runtime_error("can't write into " + path);
    }
}

const std::string& zeroVolumeFile() {
    static const std::string path = [] {
        const std::string file = temporaryPath("zeros.raw");
        writeVolume(file, Volume(kVolumeSamples, 0));
        return file;
    }();
    return path;
}

bool sameBits(const std::vector<float>& expected, const float* actual, std::string* firstMismatch) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::memcmp(&expected[i], &actual[i], sizeof(float)) != 0) {
            if (firstMismatch != nullptr) {
                *firstMismatch = "element " + std::to_string(i) + ": expected " + std::to_string(expected[i]) +
                                 ", got " + std::to_string(actual[i]);
            }
            return false;
        }
    }
    return true;
}

}  // namespace quarnel::testing
