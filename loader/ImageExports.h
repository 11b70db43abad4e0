// Looking up the exports of a mapped image, and unloading it.
#pragma once

#include "CheckedBytes.h"
#include "ImageHeaders.h"
#include "ImageMapping.h"
#include "ImageRecords.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace loader {

// A name is an ordinal when it is the canonical decimal text of a signed 32-bit integer:
// "12" and "-5" are, "012", "+5", "-0" and "" are not.
inline std::optional<int32_t> ParseOrdinal(std::string_view name) {
    int32_t value = 0;
    const auto parsed = std::from_chars(name.data(), name.data() + name.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != name.data() + name.size()) return std::nullopt;
    char canonical[16];
    const auto written = std::to_chars(canonical, canonical + sizeof(canonical), value);
    if (std::string_view(canonical, written.ptr - canonical) != name) return std::nullopt;
    return value;
}

// The RVA in the export address table at index, or 0 for an index outside the table.
inline uint32_t FunctionRva(ImageBytes mapping, const IMAGE_EXPORT_DIRECTORY& exports, int64_t index) {
    if (index < 0 || index >= static_cast<int32_t>(exports.NumberOfFunctions)) return 0;
    return mapping.Read<uint32_t>(uint64_t{exports.AddressOfFunctions} + 4 * static_cast<uint64_t>(index)).value_or(0);
}

inline uint32_t OrdinalRva(ImageBytes mapping, const IMAGE_EXPORT_DIRECTORY& exports, int32_t ordinal) {
    const auto index = static_cast<int32_t>(static_cast<uint32_t>(ordinal) - exports.Base);
    return FunctionRva(mapping, exports, index);
}

// Searches the name table in order; the first name that matches with a non-zero RVA wins.
inline uint32_t NamedRva(ImageBytes mapping, const IMAGE_EXPORT_DIRECTORY& exports, std::string_view name) {
    for (uint64_t i = 0; i < exports.NumberOfNames; ++i) {
        auto nameRva = mapping.Read<uint32_t>(uint64_t{exports.AddressOfNames} + 4 * i);
        auto index = mapping.Read<uint16_t>(uint64_t{exports.AddressOfNameOrdinals} + 2 * i);
        if (!nameRva || !index) return 0;
        if (mapping.ReadText(*nameRva) != name) continue;
        if (const uint32_t rva = FunctionRva(mapping, exports, *index); rva != 0) return rva;
    }
    return 0;
}

inline uint32_t ExportRva(ImageBytes mapping, const IMAGE_EXPORT_DIRECTORY& exports, std::string_view name) {
    if (auto ordinal = ParseOrdinal(name)) return OrdinalRva(mapping, exports, *ordinal);
    return NamedRva(mapping, exports, name);
}

// A forwarder is the text "LIBRARY.Name" or "LIBRARY.#ordinal"; it is looked up in that
// library, which stays loaded.
template <typename Platform>
uint64_t ResolveForwarder(Platform& platform, std::string_view forwarder) {
    const auto dot = forwarder.rfind('.');
    if (dot == std::string_view::npos) return 0;
    const std::string library(forwarder.substr(0, dot));
    const std::string function(forwarder.substr(dot + 1));
    const uint64_t module = platform.LoadLibraryA(library.c_str());
    if (module == 0) return 0;
    if (function.empty() || function[0] != '#') return platform.GetProcAddress(module, function.c_str());
    uint16_t ordinal = 0;
    const auto parsed = std::from_chars(function.data() + 1, function.data() + function.size(), ordinal);
    if (parsed.ec != std::errc() || parsed.ptr != function.data() + function.size()) return 0;
    return platform.GetProcAddress(module, ordinal);
}

// The address of the export, or 0. An RVA inside the export directory is a forwarder, never
// code, and is resolved through the library it names; an RVA outside the mapping gives 0.
template <typename Format, typename Platform>
uint64_t FindExport(Platform& platform, const MappedImage<Format>& mapping, std::string_view name) {
    auto headers = ReadMappedHeaders<Format>(mapping.bytes);
    if (!headers || !HasSignatures(*headers)) return 0;
    const auto& directory = Directory<Format>(headers->nt, ExportDirectoryIndex);
    if (directory.Size < sizeof(IMAGE_EXPORT_DIRECTORY)) return 0;
    auto exports = mapping.bytes.template Read<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    if (!exports) return 0;
    const uint32_t rva = ExportRva(mapping.bytes, *exports, name);
    // An address outside the image is no code of its own.
    if (rva == 0 || !mapping.bytes.Contains(rva, 1)) return 0;
    if (rva >= directory.VirtualAddress && rva - directory.VirtualAddress < directory.Size) {
        auto forwarder = mapping.bytes.ReadText(rva);
        return forwarder ? ResolveForwarder(platform, *forwarder) : 0;
    }
    return static_cast<typename Format::Address>(mapping.base + rva);
}

// Tells a DLL to detach and releases its mapping. Headers without their signatures are no
// image of ours: nothing is called or released then.
template <typename Format, typename Platform>
bool UnmapImage(Platform& platform, const MappedImage<Format>& mapping) {
    auto headers = ReadMappedHeaders<Format>(mapping.bytes);
    if (!headers || !HasSignatures(*headers)) return false;
    const auto& optional = headers->nt.OptionalHeader;
    if (HasEntryCalls<Format>(headers->nt) && mapping.bytes.Contains(optional.AddressOfEntryPoint, 1)) {
        platform.CallEntryPoint(static_cast<typename Format::Address>(mapping.base + optional.AddressOfEntryPoint),
                                ProcessDetach);
    }
    return ReleaseImage<Format>(platform, mapping.base);
}

// The entry point as the mapped headers state it, or 0 when they cannot be read.
template <typename Format>
uint64_t EntryPointOf(const MappedImage<Format>& mapping) {
    auto headers = ReadMappedHeaders<Format>(mapping.bytes);
    if (!headers) return 0;
    return static_cast<typename Format::Address>(mapping.base + headers->nt.OptionalHeader.AddressOfEntryPoint);
}

}  // namespace loader
