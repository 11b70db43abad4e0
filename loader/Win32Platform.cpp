#include "Win32Platform.h"

#include "CallAddress.h"

#include <windows.h>

namespace loader {

namespace {

void* ToPointer(uint64_t address) { return reinterpret_cast<void*>(static_cast<uintptr_t>(address)); }

uint64_t ToAddress(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

}  // namespace

// The whole image stays readable, writable and executable: no section protections are applied.
Region Win32Platform::VirtualAlloc(uint64_t preferred, uint64_t size) {
    void* base = ::VirtualAlloc(ToPointer(preferred), static_cast<SIZE_T>(size), MEM_COMMIT | MEM_RESERVE,
                                PAGE_EXECUTE_READWRITE);
    return {ToAddress(base), static_cast<uint8_t*>(base)};
}

bool Win32Platform::VirtualFree(uint64_t base) { return ::VirtualFree(ToPointer(base), 0, MEM_RELEASE) != 0; }

uint64_t Win32Platform::LoadLibraryA(const char* name) { return ToAddress(::LoadLibraryA(name)); }

uint64_t Win32Platform::GetProcAddress(uint64_t module, const char* name) {
    return ToAddress(reinterpret_cast<const void*>(::GetProcAddress(static_cast<HMODULE>(ToPointer(module)), name)));
}

// GetProcAddress takes a name pointer whose high word is 0 as an ordinal.
uint64_t Win32Platform::GetProcAddress(uint64_t module, uint16_t ordinal) {
    return ToAddress(reinterpret_cast<const void*>(
        ::GetProcAddress(static_cast<HMODULE>(ToPointer(module)), MAKEINTRESOURCEA(ordinal))));
}

uint64_t Win32Platform::CallResolver(uint64_t resolver, const char* dllName, const char* importName,
                                     uint64_t userValue) {
    return CallAddress(static_cast<uintptr_t>(resolver), ToAddress(dllName), ToAddress(importName),
                       static_cast<uintptr_t>(userValue));
}

// The module-handle argument is 0, not the base: the image is no module of the system's.
uint64_t Win32Platform::CallEntryPoint(uint64_t entry, uint32_t reason) {
    return CallAddress(static_cast<uintptr_t>(entry), 0, reason, 0);
}

}  // namespace loader
