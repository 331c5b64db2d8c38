#include "failing_heap.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>
#endif

namespace {

std::atomic<std::size_t> failingAllocationBytes{0};

// True once, for the allocation that was asked to fail.
bool failsNow(std::size_t size) {
    std::size_t armed = failingAllocationBytes.load();
    return armed != 0 && size == armed && failingAllocationBytes.compare_exchange_strong(armed, 0);
}

}  // namespace

#ifndef _WIN32

// The dynamic linker looks in the program before any library, so a module's aligned_alloc, bound
// to the C library's version of it, comes here. Everything but the chosen allocation is served by
// the C library, through the allocator a sanitizer or valgrind may have put in its place.
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    if (failsNow(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = nullptr;
    const int failure = posix_memalign(&block, std::max(alignment, sizeof(void*)), size);
    if (failure != 0) {
        errno = failure;
        return nullptr;
    }
    return block;
}

namespace quarnel::testing {

bool failNextAlignedAllocation(std::size_t bytes) {
    failingAllocationBytes = bytes;
    return true;
}

}  // namespace quarnel::testing

#else

// Windows lets no program stand in for the runtime's functions: a module calls the runtime's
// aligned allocator through a slot in its own import table, and the slots of the modules loaded so
// far are pointed at the function below.
namespace {

using AlignedMalloc = void*(__cdecl*)(std::size_t, std::size_t);
AlignedMalloc runtimeAlignedMalloc = nullptr;

void* __cdecl failOnceAlignedMalloc(std::size_t size, std::size_t alignment) {
    if (failsNow(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return runtimeAlignedMalloc(size, alignment);
}

template <typename Pointer>
Pointer at(HMODULE module, DWORD offset) {
    return reinterpret_cast<Pointer>(reinterpret_cast<unsigned char*>(module) + offset);
}

// Points `module`'s import of msvcrt.dll's _aligned_malloc, if it has one, at failOnceAlignedMalloc.
bool redirectAlignedMalloc(HMODULE module) {
    const auto* headers = at<const IMAGE_NT_HEADERS*>(module, at<const IMAGE_DOS_HEADER*>(module, 0)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool redirected = false;
    for (auto* library = at<const IMAGE_IMPORT_DESCRIPTOR*>(module, imports.VirtualAddress);
         imports.Size != 0 && library->Name != 0; ++library) {
        if (_stricmp(at<const char*>(module, library->Name), "msvcrt.dll") != 0) {
            continue;
        }
        auto* name = at<const IMAGE_THUNK_DATA*>(module, library->OriginalFirstThunk);
        auto* slot = at<IMAGE_THUNK_DATA*>(module, library->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(at<const IMAGE_IMPORT_BY_NAME*>(module, static_cast<DWORD>(name->u1.AddressOfData))->Name,
                            "_aligned_malloc") != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&failOnceAlignedMalloc);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            redirected = true;
        }
    }
    return redirected;
}

}  // namespace

namespace quarnel::testing {

bool failNextAlignedAllocation(std::size_t bytes) {
    runtimeAlignedMalloc = reinterpret_cast<AlignedMalloc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_aligned_malloc")));
    bool redirected = false;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
        redirected |= redirectAlignedMalloc(entry.hModule);
    }
    CloseHandle(snapshot);
    failingAllocationBytes = redirected ? bytes : 0;
    return redirected;
}

}  // namespace quarnel::testing

#endif
