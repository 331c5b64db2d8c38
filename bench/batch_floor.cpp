// The floor of reducing many volumes into files: for each volume, read it front to back a slice
// (512 KiB) at a time, as the sweep does, then write a file of a result's size (67109056 bytes),
// 1 MiB a write, under a temporary name in the output folder, flush it to the disk, rename it to
// NAME.mat and sync the folder. No command that
// reads every volume and leaves a durable result for each can be faster. Part of the benchmark.
//   batch_floor OUTPUT_FOLDER VOLUME...
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kReadBytes = 1 << 19;
constexpr std::size_t kWriteBytes = 1 << 20;
constexpr std::size_t kResultBytes = 67109056;

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

// Into a buffer that starts on a page, as the sweep's does: the kernel copies into memory that
// starts just past a page boundary several times slower on some CPUs.
void readWhole(const char* path, char* buffer) {
    const int input = open(path, O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        fail(path);
    }
    while (true) {
        const ssize_t got = read(input, buffer, kReadBytes);
        if (got < 0) {
            fail(path);
        }
        if (got == 0) {
            break;
        }
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
    if (argc < 2) {
        std::fputs("usage: batch_floor OUTPUT_FOLDER VOLUME...\n", stderr);
        return 2;
    }
    const int folder = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        fail(argv[1]);
    }
    const std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::aligned_alloc(4096, kReadBytes)),
                                                             &std::free);
    const std::vector<char> result(kResultBytes, 1);
    for (int k = 2; k < argc; ++k) {
        readWhole(argv[k], buffer.get());
        std::string name = argv[k];
        name = name.substr(name.rfind('/') + 1);
        writeDurably(argv[1], folder, name.substr(0, name.size() - 4) + ".mat", result);
    }
    close(folder);
    return 0;
}
