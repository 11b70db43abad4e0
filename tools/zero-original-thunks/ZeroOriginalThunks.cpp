// Writes a copy of a DLL image in which every import descriptor's OriginalFirstThunk is 0, as
// some linkers leave it, so that tests can show that imports are bound from FirstThunk alone.
//   zero-original-thunks INPUT OUTPUT
#include "loader/CheckedBytes.h"
#include "loader/ImageHeaders.h"
#include "loader/ImageRecords.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace {

using namespace loader;

// The file offset of an RVA that lies in a section's raw data.
std::optional<uint64_t> FileOffset(const std::vector<IMAGE_SECTION_HEADER>& sections, uint32_t rva) {
    for (const auto& section : sections) {
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
            return uint64_t{section.PointerToRawData} + (rva - section.VirtualAddress);
        }
    }
    return std::nullopt;
}

// The number of descriptors changed, or nothing when the import table cannot be followed.
template <typename Format>
std::optional<int> ZeroOriginalThunks(std::vector<uint8_t>& image) {
    const MappingBytes bytes(image.data(), image.size());
    auto headers = ReadImageHeaders<Format>(bytes);
    if (!headers) return std::nullopt;
    const auto& directory = headers->nt.OptionalHeader.DataDirectory[ImportDirectoryIndex];
    auto offset = FileOffset(headers->sections, directory.VirtualAddress);
    if (!offset) return std::nullopt;
    for (int count = 0;; ++count, *offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        auto descriptor = bytes.Read<IMAGE_IMPORT_DESCRIPTOR>(*offset);
        if (!descriptor) return std::nullopt;
        if (descriptor->FirstThunk == 0) return count;
        descriptor->OriginalFirstThunk = 0;
        bytes.Write(*offset, *descriptor);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    std::ifstream input(argv[1], std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    auto changed = ZeroOriginalThunks<Pe32>(image);
    if (!changed) changed = ZeroOriginalThunks<Pe32Plus>(image);
    if (!changed || *changed == 0) {
        std::fprintf(stderr, "%s: no import descriptors found\n", argv[1]);
        return 1;
    }
    std::ofstream output(argv[2], std::ios::binary);
    output.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return output ? 0 : 1;
}
