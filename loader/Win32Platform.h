// The platform of the running process: its own virtual memory, the system's loader for the
// libraries an image imports, and CallAddress for every call into code.
#pragma once

#include "ImageMapping.h"

#include <cstdint>

namespace loader {

class Win32Platform {
public:
    Region VirtualAlloc(uint64_t preferred, uint64_t size);
    bool VirtualFree(uint64_t base);
    uint64_t LoadLibraryA(const char* name);
    uint64_t GetProcAddress(uint64_t module, const char* name);
    uint64_t GetProcAddress(uint64_t module, uint16_t ordinal);
    uint64_t CallResolver(uint64_t resolver, const char* dllName, const char* importName, uint64_t userValue);
    uint64_t CallEntryPoint(uint64_t entry, uint32_t reason);
};

}  // namespace loader
