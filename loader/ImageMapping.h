// Mapping an image from its byte array into one block of memory: sizing, allocating, copying
// headers and sections, relocating, binding imports and running the entry point.
//
// A Platform provides the memory and the calls out of the loader:
//   Region VirtualAlloc(uint64_t preferred, uint64_t size)   zeroed, or base 0
//   bool VirtualFree(uint64_t base)
//   uint64_t LoadLibraryA(const char* name)
//   uint64_t GetProcAddress(uint64_t module, const char* name)
//   uint64_t GetProcAddress(uint64_t module, uint16_t ordinal)
//   uint64_t CallResolver(uint64_t resolver, const char* dllName, const char* importName,
//                         uint64_t userValue)
//   uint64_t CallEntryPoint(uint64_t entry, uint32_t reason)
#pragma once

#include "CheckedBytes.h"
#include "ImageHeaders.h"
#include "ImageRecords.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

namespace loader {

struct Region {
    uint64_t base = 0;
    uint8_t* data = nullptr;
};

template <typename Format>
struct MappedImage {
    typename Format::Address base = 0;
    MappingBytes bytes;
};

// Mappings stay below 2 GB, so every RVA inside one is also a valid signed 32-bit value.
inline constexpr uint64_t MappingSizeLimit = 0x7FFFFFFF;

template <typename Format>
const IMAGE_DATA_DIRECTORY& Directory(const typename Format::NtHeaders& nt, int index) {
    return nt.OptionalHeader.DataDirectory[index];
}

template <typename Format>
bool IsDll(const typename Format::NtHeaders& nt) {
    return (nt.FileHeader.Characteristics & DllFlag) != 0;
}

// A DLL is entered at attach and detach, unless it has no entry point at all.
template <typename Format>
bool HasEntryCalls(const typename Format::NtHeaders& nt) {
    return IsDll<Format>(nt) && nt.OptionalHeader.AddressOfEntryPoint != 0;
}

template <typename Format, typename Platform>
bool ReleaseImage(Platform& platform, typename Format::Address base) {
    return platform.VirtualFree(base);
}

// Owns a mapping until it is handed on, so every failed step of MapImage releases it.
template <typename Format, typename Platform>
class ScopedMapping {
public:
    ScopedMapping(Platform& platform, MappedImage<Format> image) : platform_(platform), image_(image) {}
    ScopedMapping(const ScopedMapping&) = delete;
    ScopedMapping& operator=(const ScopedMapping&) = delete;
    ~ScopedMapping() {
        if (image_.base != 0) ReleaseImage<Format>(platform_, image_.base);
    }
    const MappedImage<Format>& Get() const { return image_; }
    MappedImage<Format> Release() { return std::exchange(image_, MappedImage<Format>{}); }

private:
    Platform& platform_;
    MappedImage<Format> image_;
};

inline uint64_t AlignUp(uint64_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Sections without raw data, or at RVA 0, are not copied and stay as zeros.
inline bool IsCopied(const IMAGE_SECTION_HEADER& section) {
    return section.SizeOfRawData != 0 && section.VirtualAddress != 0;
}

// The raw bytes of every section that is copied must lie inside the byte array before
// anything is copied.
template <typename Format>
bool SectionsLieInImage(const ImageHeaders<Format>& headers, ImageBytes image) {
    return std::all_of(headers.sections.begin(), headers.sections.end(), [&](const auto& section) {
        return !IsCopied(section) || image.Contains(section.PointerToRawData, section.SizeOfRawData);
    });
}

// The mapping covers the declared SizeOfImage and every section's aligned end, counting the
// whole of VirtualSize. Images that need 2 GB or more, or whose headers do not fit, are refused.
template <typename Format>
std::optional<uint32_t> ImageSize(const ImageHeaders<Format>& headers) {
    const auto& optional = headers.nt.OptionalHeader;
    if (optional.SectionAlignment == 0) return std::nullopt;
    uint64_t size = optional.SizeOfImage;
    for (const auto& section : headers.sections) {
        const uint64_t extent = std::max(section.SizeOfRawData, section.VirtualSize);
        size = std::max(size, AlignUp(uint64_t{section.VirtualAddress} + extent, optional.SectionAlignment));
    }
    if (size > MappingSizeLimit || size < HeadersLength(headers)) return std::nullopt;
    return static_cast<uint32_t>(size);
}

// The entry point, when there is one to call, must lie inside the mapping.
template <typename Format>
bool EntryPointLiesInImage(const typename Format::NtHeaders& nt, uint32_t size) {
    return !HasEntryCalls<Format>(nt) || nt.OptionalHeader.AddressOfEntryPoint < size;
}

// A region whose end the format's addresses cannot reach is given back: every address in the
// image would wrap.
template <typename Format, typename Platform>
Region AllocateRegion(Platform& platform, uint64_t preferred, uint32_t size) {
    const Region region = platform.VirtualAlloc(preferred, size);
    if (region.base == 0 || region.base + (size - 1) <= std::numeric_limits<typename Format::Address>::max()) {
        return region;
    }
    platform.VirtualFree(region.base);
    return {};
}

template <typename Format, typename Platform>
MappedImage<Format> AllocateImage(Platform& platform, typename Format::Address preferred, uint32_t size) {
    Region region = AllocateRegion<Format>(platform, preferred, size);
    if (region.base == 0) region = AllocateRegion<Format>(platform, 0, size);
    if (region.base == 0) return {};
    return {static_cast<typename Format::Address>(region.base), MappingBytes(region.data, size)};
}

// Code that has no relocations runs only at the base it was linked for.
template <typename Format>
bool CanRunAt(const typename Format::NtHeaders& nt, typename Format::Address base) {
    return base == nt.OptionalHeader.ImageBase || Directory<Format>(nt, RelocationDirectoryIndex).Size > 0;
}

template <typename Format>
bool CopyHeaders(const MappedImage<Format>& mapping, ImageBytes image, const ImageHeaders<Format>& headers) {
    return mapping.bytes.CopyFrom(0, image, 0, HeadersLength(headers));
}

template <typename Format>
bool CopySections(const MappedImage<Format>& mapping, ImageBytes image, const ImageHeaders<Format>& headers) {
    return std::all_of(headers.sections.begin(), headers.sections.end(), [&](const auto& section) {
        return !IsCopied(section) ||
               mapping.bytes.CopyFrom(section.VirtualAddress, image, section.PointerToRawData, section.SizeOfRawData);
    });
}

template <typename Format>
bool RelocateWord(const MappedImage<Format>& mapping, uint64_t target, typename Format::Address delta) {
    using Address = typename Format::Address;
    auto value = mapping.bytes.template Read<Address>(target);
    return value && mapping.bytes.Write(target, static_cast<Address>(*value + delta));
}

// Applies the entries of the block at offset that lie before end. A target outside the
// mapping refuses the image.
template <typename Format>
bool ApplyRelocationBlock(const MappedImage<Format>& mapping, uint64_t offset, uint64_t end,
                          const IMAGE_BASE_RELOCATION& block, typename Format::Address delta) {
    const uint64_t entriesEnd = std::min(offset + block.SizeOfBlock, end);
    for (uint64_t at = offset + sizeof(block); at + sizeof(uint16_t) <= entriesEnd; at += sizeof(uint16_t)) {
        auto entry = mapping.bytes.template Read<uint16_t>(at);
        if (!entry) return false;
        if ((*entry >> 12) != Format::RelocationType) continue;
        if (!RelocateWord(mapping, uint64_t{block.VirtualAddress} + (*entry & 0x0FFF), delta)) return false;
    }
    return true;
}

// Walks the blocks inside the relocation directory; a block with VirtualAddress 0 or one too
// short to hold its own header ends the walk. A block header outside the mapping refuses the
// image, which would otherwise run unrelocated.
template <typename Format>
bool ApplyRelocations(const MappedImage<Format>& mapping, const typename Format::NtHeaders& nt) {
    const auto delta = static_cast<typename Format::Address>(mapping.base - nt.OptionalHeader.ImageBase);
    const auto& directory = Directory<Format>(nt, RelocationDirectoryIndex);
    const uint64_t end = uint64_t{directory.VirtualAddress} + directory.Size;
    uint64_t offset = directory.VirtualAddress;
    while (offset + sizeof(IMAGE_BASE_RELOCATION) <= end) {
        auto block = mapping.bytes.template Read<IMAGE_BASE_RELOCATION>(offset);
        if (!block) return false;
        if (block->VirtualAddress == 0 || block->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION)) break;
        if (!ApplyRelocationBlock(mapping, offset, end, *block, delta)) return false;
        offset += block->SizeOfBlock;
    }
    return true;
}

// Ordinals reach the resolver as decimal text: 7 becomes "7".
struct OrdinalText {
    explicit OrdinalText(uint16_t ordinal) { *std::to_chars(text, text + sizeof(text) - 1, ordinal).ptr = 0; }
    char text[8] = {};
};

// The resolver is asked first; GetProcAddress decides when it answers 0. 0 means unresolved.
template <typename Format, typename Platform>
uint64_t ResolveImport(Platform& platform, const MappedImage<Format>& mapping, uint64_t module,
                       std::string_view dllName, typename Format::Address thunk, uint64_t resolver,
                       uint64_t userValue) {
    const auto ask = [&](const char* importName) {
        return resolver == 0 ? 0 : platform.CallResolver(resolver, dllName.data(), importName, userValue);
    };
    if ((thunk & Format::OrdinalFlag) != 0) {
        const auto ordinal = static_cast<uint16_t>(thunk & 0xFFFF);
        const uint64_t address = ask(OrdinalText(ordinal).text);
        return address != 0 ? address : platform.GetProcAddress(module, ordinal);
    }
    // A name thunk is the RVA of a 2-byte hint followed by the name.
    auto name = mapping.bytes.ReadText(uint64_t{thunk} + 2);
    if (!name) return 0;
    const uint64_t address = ask(name->data());
    return address != 0 ? address : platform.GetProcAddress(module, name->data());
}

// Binds the thunks of one descriptor, read from and written to FirstThunk.
template <typename Format, typename Platform>
bool BindDescriptor(Platform& platform, const MappedImage<Format>& mapping,
                    const IMAGE_IMPORT_DESCRIPTOR& descriptor, uint64_t resolver, uint64_t userValue) {
    using Address = typename Format::Address;
    auto dllName = mapping.bytes.ReadText(descriptor.Name);
    if (!dllName) return false;
    const uint64_t module = platform.LoadLibraryA(dllName->data());
    for (uint64_t slot = descriptor.FirstThunk;; slot += sizeof(Address)) {
        auto thunk = mapping.bytes.template Read<Address>(slot);
        if (!thunk) return false;
        if (*thunk == 0) return true;
        const uint64_t address = ResolveImport(platform, mapping, module, *dllName, *thunk, resolver, userValue);
        if (address == 0) return false;
        mapping.bytes.Write(slot, static_cast<Address>(address));
    }
}

// Walks the descriptors inside the import directory up to the first with FirstThunk 0. An
// array that is not ended inside the directory would leave imports unbound: the image is refused.
template <typename Format, typename Platform>
bool BindImports(Platform& platform, const MappedImage<Format>& mapping, const typename Format::NtHeaders& nt,
                 uint64_t resolver, uint64_t userValue) {
    const auto& directory = Directory<Format>(nt, ImportDirectoryIndex);
    const uint64_t end = uint64_t{directory.VirtualAddress} + directory.Size;
    for (uint64_t offset = directory.VirtualAddress; offset + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= end;
         offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        auto descriptor = mapping.bytes.template Read<IMAGE_IMPORT_DESCRIPTOR>(offset);
        if (!descriptor) return false;
        if (descriptor->FirstThunk == 0) return true;
        if (!BindDescriptor(platform, mapping, *descriptor, resolver, userValue)) return false;
    }
    return false;
}

// Unloading reads the mapped headers again; sections, relocations or imports that overwrote
// them would leave an image that cannot be told to detach or be released.
template <typename Format>
bool HeadersIntact(const MappedImage<Format>& mapping, ImageBytes image, const ImageHeaders<Format>& headers) {
    const uint64_t length = HeadersLength(headers);
    return mapping.bytes.Contains(0, length) && image.Contains(0, length) &&
           std::memcmp(mapping.bytes.data(), image.data(), length) == 0;
}

// Calls the entry point with the attach reason. A DLL that refuses is told to detach before
// its memory goes.
template <typename Format, typename Platform>
bool StartImage(Platform& platform, const MappedImage<Format>& mapping, const typename Format::NtHeaders& nt) {
    if (!HasEntryCalls<Format>(nt)) return true;
    const uint64_t entry = static_cast<typename Format::Address>(mapping.base + nt.OptionalHeader.AddressOfEntryPoint);
    if (platform.CallEntryPoint(entry, ProcessAttach) != 0) return true;
    platform.CallEntryPoint(entry, ProcessDetach);
    return false;
}

// Maps, links and starts the image; the result has base 0 when anything failed, and then
// nothing stays allocated. Libraries loaded for imports stay loaded.
template <typename Format, typename Platform>
MappedImage<Format> MapImage(Platform& platform, ImageBytes image, uint64_t resolver, uint64_t userValue) {
    auto headers = ReadImageHeaders<Format>(image);
    if (!headers || !SectionsLieInImage(*headers, image)) return {};
    const auto& nt = headers->nt;
    auto size = ImageSize(*headers);
    if (!size || !EntryPointLiesInImage<Format>(nt, *size)) return {};
    ScopedMapping<Format, Platform> mapping(platform,
                                            AllocateImage<Format>(platform, nt.OptionalHeader.ImageBase, *size));
    const MappedImage<Format>& mapped = mapping.Get();
    if (mapped.base == 0 || !CanRunAt<Format>(nt, mapped.base)) return {};
    if (!CopyHeaders(mapped, image, *headers) || !CopySections(mapped, image, *headers)) return {};
    if (Directory<Format>(nt, RelocationDirectoryIndex).Size > 0 && !ApplyRelocations(mapped, nt)) return {};
    if (Directory<Format>(nt, ImportDirectoryIndex).VirtualAddress > 0 &&
        !BindImports(platform, mapped, nt, resolver, userValue))
        return {};
    if (!HeadersIntact(mapped, image, *headers) || !StartImage(platform, mapped, nt)) return {};
    return mapping.Release();
}

}  // namespace loader
