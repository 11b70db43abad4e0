// Holds the preferred range of an image held in a byte array, so that a loader must place the
// image elsewhere and apply its relocations. A range that is in use already serves as well.
#pragma once

#include "loader/ImageHeaders.h"
#include "loader/MemoryDll.h"

#include <windows.h>

#include <cstdint>

namespace loader_test {

class PreferredRangeTaken {
public:
    PreferredRangeTaken(const void* image, size_t size) {
        const loader::ImageBytes bytes(static_cast<const uint8_t*>(image), size);
        if (auto headers = loader::ReadImageHeaders<loader::NativeFormat>(bytes)) {
            const auto& optional = headers->nt.OptionalHeader;
            reserved_ = VirtualAlloc(reinterpret_cast<void*>(optional.ImageBase), optional.SizeOfImage, MEM_RESERVE,
                                     PAGE_NOACCESS);
        }
    }
    PreferredRangeTaken(const PreferredRangeTaken&) = delete;
    PreferredRangeTaken& operator=(const PreferredRangeTaken&) = delete;
    ~PreferredRangeTaken() {
        if (reserved_ != nullptr) VirtualFree(reserved_, 0, MEM_RELEASE);
    }

    bool Reserved() const { return reserved_ != nullptr; }

private:
    void* reserved_ = nullptr;
};

}  // namespace loader_test
