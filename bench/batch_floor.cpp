// The floor of reducing many volumes into files: for each volume, read it front to back 512 KiB at
// a time, as the sweep reads 512^3 int16 slices, or its first N bytes alone, then write a file of a
// result's size (67109056 bytes, or M), 1 MiB a write, under a temporary name in the output
// folder, flush it to the disk, rename it to NAME.mat and sync the folder. No command that reads
// every volume and leaves a durable result for each can be faster. Part of the benchmark.
//   batch_floor [--read-bytes N] [--result-bytes M] OUTPUT_FOLDER VOLUME...
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kReadBytes = 1 << 19;
constexpr std::size_t kWriteBytes = 1 << 20;

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

// Into a buffer that starts on a page, as the sweep's does: the kernel copies into memory that
// starts just past a page boundary several times slower on some CPUs.
void readVolume(const char* path, char* buffer, std::size_t bytes) {
    const int input = open(path, O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        fail(path);
    }
    for (std::size_t left = bytes; left > 0;) {
        const ssize_t got = read(input, buffer, std::min(kReadBytes, left));
        if (got < 0) {
            fail(path);
        }
        if (got == 0) {
            break;
        }
        left -= static_cast<std::size_t>(got);
    }
    close(input);
}

void writeDurably(const std::string& folder, int folderDescriptor, const std::string& name,
                  const std::vector<char>& result) {
    std::string temporary = folder + "/.batch_floor-XXXXXX";
    const int output = mkostemp(temporary.data(), O_CLOEXEC);
    if (output < 0) {
        fail("mkostemp");
    }
    std::size_t written = 0;
    while (written < result.size()) {
        const ssize_t wrote = write(output, result.data() + written, std::min(kWriteBytes, result.size() - written));
        if (wrote <= 0) {
            fail(name);
        }
        written += static_cast<std::size_t>(wrote);
    }
    if (fsync(output) != 0 || close(output) != 0 || rename(temporary.c_str(), (folder + "/" + name).c_str()) != 0 ||
        fsync(folderDescriptor) != 0) {
        fail(name);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    std::size_t readBytes = SIZE_MAX;
    std::size_t resultBytes = 67109056;
    int first = 1;
    for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
        (std::strcmp(argv[first], "--read-bytes") == 0 ? readBytes : resultBytes) = std::strtoull(argv[first + 1], nullptr, 10);
    }
    if (first >= argc) {
        std::fputs("usage: batch_floor [--read-bytes N] [--result-bytes M] OUTPUT_FOLDER VOLUME...\n", stderr);
        return 2;
    }
    const int folder = open(argv[first], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        fail(argv[first]);
    }
    const std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::aligned_alloc(4096, kReadBytes)),
                                                             &std::free);
    const std::vector<char> result(resultBytes, 1);
    for (int k = first + 1; k < argc; ++k) {
        readVolume(argv[k], buffer.get(), readBytes);
        std::string name = argv[k];
        name = name.substr(name.rfind('/') + 1);
        writeDurably(argv[first], folder, name.substr(0, name.size() - 4) + ".mat", result);
    }
    close(folder);
    return 0;
}
