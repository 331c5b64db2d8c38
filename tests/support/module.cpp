#include "module.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace quarnel::testing {

MexEntry loadModule(const std::string& path) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path.c_str());
    void* entry = module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, "mexFunction")) : nullptr;
#else
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* entry = module != nullptr ? dlsym(module, "mexFunction") : nullptr;
#endif
    if (entry == nullptr) {
        std::fprintf(stderr, "can't load mexFunction from %s\n", path.c_str());
        std::exit(EXIT_FAILURE);
    }
    return reinterpret_cast<MexEntry>(entry);
}

}  // namespace quarnel::testing
