// How close one call's sweep comes to the cost of merely reading the volume, on the call a user
// makes first after the host starts as well as on later ones, and with the file on disk.
//
// Passes over the same 256 MiB volume file, which is in the page cache after it is written:
//   bare             the sweep's 512 seeks and reads into a page-aligned 1 MiB buffer, and nothing
//                    else: the floor;
//   first_call       resampleVolume as the first call of a fresh process: this program started
//                    again, with a fresh heap, to write a destination and then time one call into it;
//   later_call       resampleVolume in this process, which has made many calls, into a destination
//                    written once beforehand, so no page faults;
//   baseline         the same reads as bare, each pair reduced by the obvious loop, c outer and r
//                    inner, eight strided loads per element;
//   cold_resample    resampleVolume after the file's pages are dropped from the page cache, so
//                    that it comes from the disk, as a volume a user has just copied in usually does;
//   cold_sequential  a plain front-to-back read of the same 256 MiB in 1 MiB reads, after the same.
// Their repetitions run in random interleaved order, so noise from a busy machine hits all of them
// alike, and the medians are compared. The last line of output is the first and later calls'
// ratios to the bare pass.
// After the timings comes the memory one call adds besides its destination: the heap it takes,
// counted by wrapping the allocator at link time, and the stack it reaches, found by painting a
// thread stack beforehand and seeing how far the call overwrote it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
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
void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
    return counted(__real_aligned_alloc(alignment, size));
}
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

std::string volumePath;
std::FILE* volumeFile = nullptr;
std::vector<float> destination;

// Seeded samples over the whole int16 range, so neither the reads nor the arithmetic meet
// anything easier than a real volume. Flushed to the disk, so that its pages can be dropped.
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
    written = written && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "can't write %s\n", path.c_str());
        std::exit(1);
    }
    return path.string();
}

// A slice-pair buffer as the sweep has it: 1 MiB, zeroed, starting on a page boundary.
struct PairBuffer {
    std::int16_t* samples = static_cast<std::int16_t*>(std::aligned_alloc(4096, kBytesPerPair));
    PairBuffer() {
        if (samples == nullptr) {
            std::fprintf(stderr, "no memory for the slice-pair buffer\n");
            std::exit(1);
        }
        std::memset(samples, 0, kBytesPerPair);
    }
    PairBuffer(const PairBuffer&) = delete;
    PairBuffer& operator=(const PairBuffer&) = delete;
    ~PairBuffer() { std::free(samples); }
};

// The sweep's reads exactly: two absolute seeks and two slice reads per pair.
template <typename PerPair>
void readPairs(PerPair perPair) {
    const PairBuffer buffer;
    std::int16_t* pair = buffer.samples;
    for (std::size_t s = 0; s < kPairCount; ++s) {
        const std::size_t offset = kBytesPerPair * s;
        std::fseek(volumeFile, static_cast<long>(offset), SEEK_SET);
        benchmark::DoNotOptimize(std::fread(pair, sizeof(std::int16_t), kSamplesPerSlice, volumeFile));
        std::fseek(volumeFile, static_cast<long>(offset + kBytesPerSlice), SEEK_SET);
        benchmark::DoNotOptimize(
            std::fread(pair + kSamplesPerSlice, sizeof(std::int16_t), kSamplesPerSlice, volumeFile));
        perPair(pair, destination.data() + kElementsPerOutputSlice * s);
    }
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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What a fresh process that is given the volume's path does, and all it does: it fills a
// destination of its own, times one resampleVolume into it and prints the seconds taken.
constexpr const char* kFirstCallFlag = "--first-call-of";

int timeFirstCall(const char* path) {
    std::FILE* input = std::fopen(path, "rb");
    if (input == nullptr) {
        return 1;
    }
    std::vector<float> written(kOutputElements, 1.0f);
    const auto start = std::chrono::steady_clock::now();
    const bool complete = resampleVolume(input, written.data(), false);
    const double seconds = secondsSince(start);
    std::fclose(input);
    std::printf("%.9f\n", seconds);
    return complete ? 0 : 1;
}

// Starts this program afresh on the volume and reads back the seconds its one call took.
double firstCallInFreshProcess() {
    int output[2];
    if (pipe(output) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::string program = "/proc/self/exe";
    std::string flag = kFirstCallFlag;
    char* arguments[] = {program.data(), flag.data(), volumePath.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    char text[64] = {};
    const ssize_t length = spawned == 0 ? read(output[0], text, sizeof text - 1) : -1;
    close(output[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || length <= 0) {
        std::fprintf(stderr, "the fresh process couldn't reduce %s\n", volumePath.c_str());
        std::exit(1);
    }
    return std::strtod(text, nullptr);
}

// Drops the volume's pages from the page cache, so the next pass reads it from the disk.
void dropFromPageCache() {
    if (posix_fadvise(fileno(volumeFile), 0, 0, POSIX_FADV_DONTNEED) != 0) {
        std::fprintf(stderr, "can't drop %s from the page cache\n", volumePath.c_str());
        std::exit(1);
    }
}

void bare(benchmark::State& state) {
    for (auto _ : state) {
        readPairs([](std::int16_t* pair, float*) { benchmark::DoNotOptimize(pair); });
        benchmark::ClobberMemory();
    }
}

void first_call(benchmark::State& state) {
    for (auto _ : state) {
        state.SetIterationTime(firstCallInFreshProcess());
    }
}

void later_call(benchmark::State& state) {
    for (auto _ : state) {
        resampleVolume(volumeFile, destination.data(), false);
        benchmark::ClobberMemory();
    }
}

void baseline(benchmark::State& state) {
    for (auto _ : state) {
        readPairs(straightforwardReduction);
        benchmark::ClobberMemory();
    }
}

// Times `pass` alone, each time after the volume's pages are dropped.
template <typename Pass>
void timeFromDisk(benchmark::State& state, Pass pass) {
    for (auto _ : state) {
        dropFromPageCache();
        const auto start = std::chrono::steady_clock::now();
        pass();
        benchmark::ClobberMemory();
        state.SetIterationTime(secondsSince(start));
    }
}

void cold_resample(benchmark::State& state) {
    timeFromDisk(state, [] { resampleVolume(volumeFile, destination.data(), false); });
}

void cold_sequential(benchmark::State& state) {
    const PairBuffer buffer;
    timeFromDisk(state, [&buffer] {
        std::fseek(volumeFile, 0, SEEK_SET);
        for (std::size_t s = 0; s < kPairCount; ++s) {
            benchmark::DoNotOptimize(std::fread(buffer.samples, 1, kBytesPerPair, volumeFile));
        }
    });
}

// One pass a repetition, so that each pass is interleaved with the others on its own.
BENCHMARK(bare)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(first_call)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(later_call)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(baseline)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(cold_resample)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(cold_sequential)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

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
    if (argc == 3 && std::strcmp(argv[1], kFirstCallFlag) == 0) {
        return timeFirstCall(argv[2]);
    }
    // Defaults that a command-line flag given after them overrides.
    std::vector<char*> arguments = {argv[0]};
    std::string defaults[] = {"--benchmark_repetitions=45", "--benchmark_enable_random_interleaving=true",
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

    volumePath = writeVolumeFile();
    volumeFile = std::fopen(volumePath.c_str(), "rb");
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
    std::filesystem::remove(volumePath);
    benchmark::Shutdown();
    if (!complete) {
        std::fprintf(stderr, "the volume file %s couldn't be read back whole\n", volumePath.c_str());
        return 1;
    }

    // Some passes alone (--benchmark_filter, as CTest's smoke test asks) give no ratios.
    if (std::any_of(argv + 1, argv + argc, [](const char* flag) { return std::strncmp(flag, "--benchmark_filter", 18) == 0; })) {
        return 0;
    }
    const char* passes[] = {"bare", "first_call", "later_call", "baseline", "cold_resample", "cold_sequential"};
    for (const char* pass : passes) {
        if (reporter.medians.count(pass) == 0) {
            std::fprintf(stderr, "the ratios need every pass, and %s is missing\n", pass);
            return 1;
        }
    }
    std::map<std::string, double>& median = reporter.medians;
    std::printf("medians: bare %.2f ms, first call %.2f ms, later call %.2f ms, baseline %.2f ms\n", median["bare"],
                median["first_call"], median["later_call"], median["baseline"]);
    std::printf("from the disk: resample %.2f ms, sequential read %.2f ms, cold resample/sequential ratio: %.2f\n",
                median["cold_resample"], median["cold_sequential"], median["cold_resample"] / median["cold_sequential"]);
    std::printf("baseline/later call ratio: %.2f\n", median["baseline"] / median["later_call"]);
    std::printf("first call/bare ratio: %.2f, later call/bare ratio: %.2f\n", median["first_call"] / median["bare"],
                median["later_call"] / median["bare"]);
    return 0;
}
