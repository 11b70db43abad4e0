#include "TestImages.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace loader_test {

using namespace loader;

Bytes ReadFixture(const std::string& arch, const std::string& name) {
    std::ifstream file(std::string(LOADER_FIXTURE_DIR) + "/" + arch + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

uint32_t PutRelocationBlock(SectionContent& content, uint32_t pageRva, const std::vector<uint16_t>& entries) {
    const auto size = static_cast<uint32_t>(sizeof(IMAGE_BASE_RELOCATION) + 2 * entries.size());
    const uint32_t at = content.PutValue(IMAGE_BASE_RELOCATION{pageRva, size});
    for (uint16_t entry : entries) content.PutValue(entry);
    return at;
}

PutDirectory PutExports(SectionContent& content, const ExportPlan& plan) {
    const uint32_t directory = content.PutValue(IMAGE_EXPORT_DIRECTORY{});
    std::vector<uint32_t> functions = plan.functions;
    std::vector<uint32_t> nameRvas;
    for (const auto& name : plan.names) nameRvas.push_back(content.PutText(name.name));
    for (const auto& forwarder : plan.forwarders) functions.at(forwarder.index) = content.PutText(forwarder.text);
    IMAGE_EXPORT_DIRECTORY exports{};
    exports.Base = plan.base;
    exports.NumberOfFunctions = static_cast<uint32_t>(functions.size());
    exports.NumberOfNames = static_cast<uint32_t>(plan.names.size());
    exports.AddressOfFunctions = content.Rva();
    for (uint32_t rva : functions) content.PutValue(rva);
    exports.AddressOfNames = content.Rva();
    for (uint32_t rva : nameRvas) content.PutValue(rva);
    exports.AddressOfNameOrdinals = content.Rva();
    for (const auto& name : plan.names) content.PutValue(name.index);
    content.Patch(directory, exports);
    return {directory, content.Rva() - directory, {}};
}

uint64_t FileOffsetOf(const ImageLayout& layout, uint32_t rva) {
    for (const auto& section : layout.sections) {
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
            return section.PointerToRawData + (rva - section.VirtualAddress);
        }
    }
    throw std::out_of_range("RVA outside the raw data of every section");
}

namespace {

std::string TextAt(const Bytes& file, const ImageLayout& layout, uint32_t rva) {
    const uint64_t offset = FileOffsetOf(layout, rva);
    return std::string(reinterpret_cast<const char*>(file.data() + offset));
}

template <typename Format>
void ReadRelocations(const Bytes& file, ImageLayout& layout, const IMAGE_DATA_DIRECTORY& directory) {
    for (uint32_t rva = directory.VirtualAddress; rva < directory.VirtualAddress + directory.Size;) {
        const auto block = ReadAt<IMAGE_BASE_RELOCATION>(file, FileOffsetOf(layout, rva));
        if (block.VirtualAddress == 0 || block.SizeOfBlock < 8) break;
        layout.relocationBlocks.push_back(rva);
        for (uint32_t at = 8; at < block.SizeOfBlock; at += 2) {
            const auto entry = ReadAt<uint16_t>(file, FileOffsetOf(layout, rva + at));
            if ((entry >> 12) == Format::RelocationType) layout.relocationTargets.push_back(block.VirtualAddress + (entry & 0xFFF));
        }
        rva += block.SizeOfBlock;
    }
}

template <typename Format>
void ReadImports(const Bytes& file, ImageLayout& layout, const IMAGE_DATA_DIRECTORY& directory) {
    using Address = typename Format::Address;
    for (uint32_t rva = directory.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = ReadAt<IMAGE_IMPORT_DESCRIPTOR>(file, FileOffsetOf(layout, rva));
        if (descriptor.FirstThunk == 0) break;
        layout.importDescriptors.push_back(rva);
        layout.originalFirstThunks.push_back(descriptor.OriginalFirstThunk);
        const std::string dll = TextAt(file, layout, descriptor.Name);
        for (uint32_t slot = descriptor.FirstThunk;; slot += sizeof(Address)) {
            const auto thunk = ReadAt<Address>(file, FileOffsetOf(layout, slot));
            if (thunk == 0) break;
            const bool byOrdinal = (thunk & Format::OrdinalFlag) != 0;
            const std::string name = byOrdinal ? std::to_string(thunk & 0xFFFF)
                                               : TextAt(file, layout, static_cast<uint32_t>(thunk) + 2);
            layout.thunks.push_back({slot, dll, name, byOrdinal});
        }
    }
}

void ReadExports(const Bytes& file, ImageLayout& layout, const IMAGE_DATA_DIRECTORY& directory) {
    const auto exports = ReadAt<IMAGE_EXPORT_DIRECTORY>(file, FileOffsetOf(layout, directory.VirtualAddress));
    layout.exportBase = exports.Base;
    for (uint32_t i = 0; i < exports.NumberOfFunctions; ++i) {
        layout.exportFunctions.push_back(ReadAt<uint32_t>(file, FileOffsetOf(layout, exports.AddressOfFunctions + 4 * i)));
    }
    for (uint32_t i = 0; i < exports.NumberOfNames; ++i) {
        const auto name = ReadAt<uint32_t>(file, FileOffsetOf(layout, exports.AddressOfNames + 4 * i));
        const auto index = ReadAt<uint16_t>(file, FileOffsetOf(layout, exports.AddressOfNameOrdinals + 2 * i));
        layout.exportIndexByName.emplace(TextAt(file, layout, name), index);
    }
}

}  // namespace

template <typename Format>
ImageLayout ReadLayout(const Bytes& file) {
    ImageLayout layout;
    const auto dos = ReadAt<IMAGE_DOS_HEADER>(file, 0);
    const auto nt = ReadAt<typename Format::NtHeaders>(file, dos.e_lfanew);
    layout.imageBase = nt.OptionalHeader.ImageBase;
    layout.entryRva = nt.OptionalHeader.AddressOfEntryPoint;
    layout.characteristics = nt.FileHeader.Characteristics;
    layout.ntOffset = dos.e_lfanew;
    layout.headersLength = dos.e_lfanew + sizeof(nt) + nt.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    layout.sizeOfImage = nt.OptionalHeader.SizeOfImage;
    layout.exportDirectory = nt.OptionalHeader.DataDirectory[ExportDirectoryIndex];
    for (uint16_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        layout.sections.push_back(ReadAt<IMAGE_SECTION_HEADER>(
            file, dos.e_lfanew + sizeof(nt) + i * sizeof(IMAGE_SECTION_HEADER)));
    }
    const auto* directories = nt.OptionalHeader.DataDirectory;
    if (directories[RelocationDirectoryIndex].Size > 0) ReadRelocations<Format>(file, layout, directories[RelocationDirectoryIndex]);
    if (directories[ImportDirectoryIndex].VirtualAddress > 0) ReadImports<Format>(file, layout, directories[ImportDirectoryIndex]);
    if (directories[ExportDirectoryIndex].Size > 0) ReadExports(file, layout, directories[ExportDirectoryIndex]);
    return layout;
}

template ImageLayout ReadLayout<Pe32>(const Bytes& file);
template ImageLayout ReadLayout<Pe32Plus>(const Bytes& file);

void OfferImport(SimulatedPlatform& platform, const ImportThunk& thunk) {
    if (thunk.byOrdinal) {
        platform.AddLibraryExport(thunk.dllName, static_cast<uint16_t>(std::stoi(thunk.importName)));
    } else {
        platform.AddLibraryExport(thunk.dllName, thunk.importName);
    }
}

uint8_t FileByteAt(const Bytes& file, const ImageLayout& layout, uint32_t rva) {
    for (const auto& section : layout.sections) {
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
            return file.at(section.PointerToRawData + (rva - section.VirtualAddress));
        }
    }
    return rva < layout.headersLength ? file.at(rva) : 0;
}

}  // namespace loader_test
