// How close one call's sweep comes to the cost of merely reading the volume.
//
// Three passes over the same 256 MiB volume file, which is in the page cache after it is written:
//   resample      resampleVolume into a destination written once beforehand, so no page faults;
//   bare          the sweep's 512 seeks and reads into a 1 MiB buffer, and nothing else: the floor;
//   baseline      the same reads, each pair reduced by the obvious loop, c outer and r inner,
//                 eight strided loads per element.
// Their repetitions run in random interleaved order, so noise from a busy machine hits all three
// alike, and the medians are compared. The last line of output is the two ratios.
// After the timings comes the memory one call adds besides its destination: the heap it takes,
// counted by wrapping the allocator at link time, and the stack it reaches, found by painting a
// thread stack beforehand and seeing how far the call overwrote it.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "resample.h"
#include "volume.h"

using namespace quarnel;

// Every allocation in this executable, resampleVolume's included, passes through these.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* pointer, std::size_t size);
void __real_free(void* pointer);
}

namespace {

std::size_t heapInUse = 0;
std::size_t heapPeak = 0;

void* counted(void* pointer) {
    if (pointer != nullptr) {
        heapInUse += malloc_usable_size(pointer);
        heapPeak = std::max(heapPeak, heapInUse);
    }
    return pointer;
}

}  // namespace

extern "C" {
void* __wrap_malloc(std::size_t size) { return counted(__real_malloc(size)); }
void* __wrap_calloc(std::size_t count, std::size_t size) { return counted(__real_calloc(count, size)); }
void* __wrap_realloc(void* pointer, std::size_t size) {
    if (pointer != nullptr) {
        heapInUse -= malloc_usable_size(pointer);
    }
    return counted(__real_realloc(pointer, size));
}
void __wrap_free(void* pointer) {
    if (pointer != nullptr) {
        heapInUse -= malloc_usable_size(pointer);
    }
    __real_free(pointer);
}
}

namespace {

std::FILE* volumeFile = nullptr;
std::vector<float> destination;

// Seeded samples over the whole int16 range, so neither the reads nor the arithmetic meet
// anything easier than a real volume.
std::string writeVolumeFile() {
    const auto path = std::filesystem::temp_directory_path() /
                      ("quarnel-bench-" + std::to_string(static_cast<long>(getpid())) + ".raw");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "can't create %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<std::uint16_t> pair(kSamplesPerPair);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    bool written = true;
    for (std::size_t s = 0; s < kPairCount && written; ++s) {
        for (auto& sample : pair) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            sample = static_cast<std::uint16_t>(state >> 24);
        }
        written = std::fwrite(pair.data(), 1, kBytesPerPair, file) == kBytesPerPair;
    }
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "can't write %s\n", path.c_str());
        std::exit(1);
    }
    return path.string();
}

// The sweep's reads exactly: one zeroed 1 MiB buffer, two absolute seeks and two slice reads
// per pair.
template <typename PerPair>
void readPairs(PerPair perPair) {
    auto* pair = static_cast<std::int16_t*>(std::calloc(kSamplesPerPair, sizeof(std::int16_t)));
    if (pair == nullptr) {
        std::fprintf(stderr, "no memory for the slice-pair buffer\n");
        std::exit(1);
    }
    for (std::size_t s = 0; s < kPairCount; ++s) {
        const std::size_t offset = kBytesPerPair * s;
        std::fseek(volumeFile, static_cast<long>(offset), SEEK_SET);
        benchmark::DoNotOptimize(std::fread(pair, sizeof(std::int16_t), kSamplesPerSlice, volumeFile));
        std::fseek(volumeFile, static_cast<long>(offset + kBytesPerSlice), SEEK_SET);
        benchmark::DoNotOptimize(
            std::fread(pair + kSamplesPerSlice, sizeof(std::int16_t), kSamplesPerSlice, volumeFile));
        perPair(pair, destination.data() + kElementsPerOutputSlice * s);
    }
    std::free(pair);
}

void straightforwardReduction(const std::int16_t* pair, float* destinationSlice) {
    const std::int16_t* lower = pair;
    const std::int16_t* upper = pair + kSamplesPerSlice;
    for (std::size_t c = 0; c < kOutputEdge; ++c) {
        for (std::size_t r = 0; r < kOutputEdge; ++r) {
            const std::size_t i = 2 * kSamplesPerRow * r + 2 * c;
            const std::int32_t sum = lower[i] + lower[i + 1] + lower[i + kSamplesPerRow] +
                                     lower[i + kSamplesPerRow + 1] + upper[i] + upper[i + 1] +
                                     upper[i + kSamplesPerRow] + upper[i + kSamplesPerRow + 1];
            destinationSlice[r + kOutputEdge * c] = blockMean(sum);
        }
    }
}

void resample(benchmark::State& state) {
    for (auto _ : state) {
        resampleVolume(volumeFile, destination.data(), false);
        benchmark::ClobberMemory();
    }
}

void bare(benchmark::State& state) {
    for (auto _ : state) {
        readPairs([](std::int16_t* pair, float*) { benchmark::DoNotOptimize(pair); });
        benchmark::ClobberMemory();
    }
}

void baseline(benchmark::State& state) {
    for (auto _ : state) {
        readPairs(straightforwardReduction);
        benchmark::ClobberMemory();
    }
}

constexpr int kPassesPerRepetition = 3;
BENCHMARK(resample)->Iterations(kPassesPerRepetition)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(bare)->Iterations(kPassesPerRepetition)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(baseline)->Iterations(kPassesPerRepetition)->UseRealTime()->Unit(benchmark::kMillisecond);

// Shows what the console reporter shows and keeps each pass's median, or its only time when
// there is a single repetition.
class MedianKeeper : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> medians;

    // In colour only on a terminal, as the library's own reporter.
    MedianKeeper() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[name] = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
                medians[name] = run.GetAdjustedRealTime();
            }
        }
    }
};

// Painted stack for the measuring thread: how much of it is still paint afterwards tells how
// deep the call went.
constexpr std::size_t kStackBytes = 1 << 20;
constexpr unsigned char kPaint = 0xA5;

void* callOnce(void*) {
    resampleVolume(volumeFile, destination.data(), false);
    return nullptr;
}

void reportMemory() {
    void* stack = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memset(stack, kPaint, kStackBytes);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, kStackBytes);
    pthread_t thread;
    const std::size_t heapBefore = heapInUse;
    heapPeak = heapInUse;
    pthread_create(&thread, &attributes, callOnce, nullptr);
    pthread_join(thread, nullptr);
    const std::size_t heapAdded = heapPeak - heapBefore;
    const auto* bytes = static_cast<const unsigned char*>(stack);
    std::size_t untouched = 0;
    while (untouched < kStackBytes && bytes[untouched] == kPaint) {
        ++untouched;
    }
    const std::size_t stackUsed = kStackBytes - untouched;
    munmap(stack, kStackBytes);
    pthread_attr_destroy(&attributes);
    std::printf("memory one call adds beyond its destination: %zu KiB (heap peak %zu KiB, stack depth %zu KiB, "
                "the stack including the thread's own start-up)\n",
                (heapAdded + stackUsed) / 1024, heapAdded / 1024, stackUsed / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults that a command-line flag given after them overrides.
    std::vector<char*> arguments = {argv[0]};
    std::string defaults[] = {"--benchmark_repetitions=15", "--benchmark_enable_random_interleaving=true",
                              "--benchmark_report_aggregates_only=true"};
    for (std::string& flag : defaults) {
        arguments.push_back(flag.data());
    }
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }

    const std::string path = writeVolumeFile();
    volumeFile = std::fopen(path.c_str(), "rb");
    destination.assign(kOutputElements, 1.0f);
    const bool complete = volumeFile != nullptr && resampleVolume(volumeFile, destination.data(), false);

    MedianKeeper reporter;
    if (complete) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reportMemory();
    }
    if (volumeFile != nullptr) {
        std::fclose(volumeFile);
    }
    std::filesystem::remove(path);
    benchmark::Shutdown();
    if (!complete) {
        std::fprintf(stderr, "the volume file %s couldn't be read back whole\n", path.c_str());
        return 1;
    }

    if (reporter.medians.size() != 3) {
        std::fprintf(stderr, "the ratios need all three passes, resample, bare and baseline\n");
        return 1;
    }
    const double resampleTime = reporter.medians["resample"];
    const double bareTime = reporter.medians["bare"];
    const double baselineTime = reporter.medians["baseline"];
    std::printf("medians: resample %.2f ms, bare %.2f ms, baseline %.2f ms\n", resampleTime, bareTime, baselineTime);
    std::printf("resample/bare ratio: %.2f, baseline/resample ratio: %.2f\n", resampleTime / bareTime,
                baselineTime / resampleTime);
    return 0;
}
