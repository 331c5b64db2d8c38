// The volumes the command's tests reduce, made once per build rather than once per test process:
// two of random samples, random11.raw and random12.raw, each beside its reference reduction
// (random11.reduced: the 16777216 floats of V, as the host lays them out).
//   write_volumes FOLDER
#include <cstdio>
#include <filesystem>
#include <string>

#include "volumes.h"

int main(int argc, char* argv[]) {
    using namespace quarnel::testing;
    if (argc != 2) {
        std::fputs("usage: write_volumes FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    std::filesystem::create_directories(folder);
    for (std::uint32_t seed : {11u, 12u}) {
        const Volume volume = randomVolume(seed);
        const std::string name = folder + "/random" + std::to_string(seed);
        writeVolume(name + ".raw", volume);
        const std::vector<float> reduced = referenceReduction(volume);
        std::FILE* file = openFile(name + ".reduced", "wb");
        const bool written = file != nullptr && std::fwrite(reduced.data(), sizeof(float), reduced.size(), file) == reduced.size();
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            std::perror(name.c_str());
            return 1;
        }
    }
    return 0;
}
