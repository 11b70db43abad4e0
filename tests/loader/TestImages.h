// What the loader tests map: fixture images read from the build, and small images crafted
// byte by byte. ReadLayout reads a fixture file on its own, without the loader, so that tests
// can hold what the loader did against what the file says.
#pragma once

#include "loader/CheckedBytes.h"
#include "loader/ImageMapping.h"
#include "loader/ImageRecords.h"
#include "loader/SimulatedPlatform.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace loader_test {

using Bytes = std::vector<uint8_t>;

// A value of an image file read or written at a file offset; outside the file, an exception.
template <typename Value>
Value ReadAt(const Bytes& file, uint64_t offset) {
    if (offset + sizeof(Value) > file.size()) throw std::out_of_range("read outside the image file");
    Value value;
    std::memcpy(&value, file.data() + offset, sizeof(value));
    return value;
}

template <typename Value>
void WriteAt(Bytes& file, uint64_t offset, const Value& value) {
    if (offset + sizeof(Value) > file.size()) throw std::out_of_range("write outside the image file");
    std::memcpy(file.data() + offset, &value, sizeof(value));
}

// A copy of the file with one value changed.
template <typename Value>
Bytes WithValue(Bytes file, uint64_t offset, const Value& value) {
    WriteAt(file, offset, value);
    return file;
}

// A fixture image of the build, for "i686" or "x86-64"; empty when the file is missing.
Bytes ReadFixture(const std::string& arch, const std::string& name);

// The bytes of one section being written, and the RVA of each thing put into it.
class SectionContent {
public:
    explicit SectionContent(uint32_t rva) : rva_(rva) {}

    uint32_t Rva() const { return rva_ + static_cast<uint32_t>(bytes_.size()); }
    const Bytes& bytes() const { return bytes_; }

    uint32_t Put(const void* data, size_t size) {
        const uint32_t at = Rva();
        const auto* begin = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
        return at;
    }
    template <typename Value>
    uint32_t PutValue(const Value& value) {
        return Put(&value, sizeof(value));
    }
    uint32_t PutText(std::string_view text) {
        const uint32_t at = Put(text.data(), text.size());
        PutValue(uint8_t{0});
        return at;
    }
    template <typename Value>
    void Patch(uint32_t rva, const Value& value) {
        std::memcpy(bytes_.data() + (rva - rva_), &value, sizeof(value));
    }
    template <typename Value>
    Value At(uint32_t rva) const {
        Value value;
        std::memcpy(&value, bytes_.data() + (rva - rva_), sizeof(value));
        return value;
    }

private:
    uint32_t rva_;
    Bytes bytes_;
};

// A minimal image of either format: headers, then sections at 0x1000 steps with raw data at
// file offsets 0x400 on. A DLL and executable image unless a test says otherwise.
template <typename Format>
class ImageBuilder {
public:
    static constexpr uint32_t RawDataStart = 0x400;

    ImageBuilder() {
        dos_.e_magic = loader::DosSignature;
        dos_.e_lfanew = sizeof(loader::IMAGE_DOS_HEADER);
        nt_.Signature = loader::NtSignature;
        nt_.FileHeader.Machine = Format::Machine;
        nt_.FileHeader.SizeOfOptionalHeader = sizeof(nt_.OptionalHeader);
        nt_.FileHeader.Characteristics = loader::ExecutableImageFlag | loader::DllFlag;
        nt_.OptionalHeader.Magic = Format::Magic;
        nt_.OptionalHeader.ImageBase = sizeof(typename Format::Address) == 4 ? 0x10000000 : 0x180000000;
        nt_.OptionalHeader.SectionAlignment = 0x1000;
        nt_.OptionalHeader.FileAlignment = 0x200;
        nt_.OptionalHeader.SizeOfImage = 0x1000;
        nt_.OptionalHeader.SizeOfHeaders = RawDataStart;
        nt_.OptionalHeader.NumberOfRvaAndSizes = loader::DirectoryCount;
    }

    loader::IMAGE_DOS_HEADER& Dos() { return dos_; }
    typename Format::NtHeaders& Nt() { return nt_; }
    loader::IMAGE_SECTION_HEADER& Section(size_t index) { return sections_.at(index); }
    uint32_t NextSectionRva() const { return nt_.OptionalHeader.SizeOfImage; }

    // Adds a section at the next free RVA; the mapping grows to its aligned end.
    uint32_t AddSection(const Bytes& raw, uint32_t virtualSize = 0) {
        loader::IMAGE_SECTION_HEADER section{};
        section.VirtualAddress = NextSectionRva();
        section.VirtualSize = virtualSize != 0 ? virtualSize : static_cast<uint32_t>(raw.size());
        section.SizeOfRawData = static_cast<uint32_t>(raw.size());
        section.PointerToRawData = raw.empty() ? 0 : NextRawOffset();
        sections_.push_back(section);
        raw_.push_back(raw);
        const uint32_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
        nt_.OptionalHeader.SizeOfImage = (section.VirtualAddress + extent + 0xFFF) & ~0xFFFu;
        nt_.FileHeader.NumberOfSections = static_cast<uint16_t>(sections_.size());
        return section.VirtualAddress;
    }
    uint32_t AddSection(const SectionContent& content, uint32_t virtualSize = 0) {
        return AddSection(content.bytes(), virtualSize);
    }

    void SetDirectory(int index, uint32_t rva, uint32_t size) {
        nt_.OptionalHeader.DataDirectory[index] = {rva, size};
    }

    Bytes Build() const {
        Bytes image(NextRawOffset(), 0);
        std::memcpy(image.data(), &dos_, sizeof(dos_));
        std::memcpy(image.data() + dos_.e_lfanew, &nt_, sizeof(nt_));
        const size_t table = dos_.e_lfanew + sizeof(nt_);
        for (size_t i = 0; i < sections_.size(); ++i) {
            std::memcpy(image.data() + table + i * sizeof(loader::IMAGE_SECTION_HEADER), &sections_[i],
                        sizeof(loader::IMAGE_SECTION_HEADER));
            std::copy(raw_[i].begin(), raw_[i].end(), image.begin() + sections_[i].PointerToRawData);
        }
        return image;
    }

private:
    uint32_t NextRawOffset() const {
        uint32_t offset = RawDataStart;
        for (const auto& raw : raw_) offset += (static_cast<uint32_t>(raw.size()) + 0x1FF) & ~0x1FFu;
        return offset;
    }

    loader::IMAGE_DOS_HEADER dos_{};
    typename Format::NtHeaders nt_{};
    std::vector<loader::IMAGE_SECTION_HEADER> sections_;
    std::vector<Bytes> raw_;
};

// One base relocation block; returns its RVA.
uint32_t PutRelocationBlock(SectionContent& content, uint32_t pageRva, const std::vector<uint16_t>& entries);

// An import by name, or by ordinal.
using Import = std::variant<std::string, uint16_t>;

struct ImportedLibrary {
    std::string name;
    std::vector<Import> imports;
};

struct PutDirectory {
    uint32_t rva;
    uint32_t size;
    std::vector<uint32_t> thunkRvas;  // imports: each library's FirstThunk, in order
};

// One base relocation block as the whole relocation directory.
inline PutDirectory PutRelocationDirectory(SectionContent& content, uint32_t pageRva,
                                           const std::vector<uint16_t>& entries) {
    const uint32_t block = PutRelocationBlock(content, pageRva, entries);
    return {block, content.Rva() - block, {}};
}

// Hint/name entries, thunk arrays and the descriptor array (the directory), in that order.
template <typename Format>
PutDirectory PutImports(SectionContent& content, const std::vector<ImportedLibrary>& libraries) {
    using Address = typename Format::Address;
    std::vector<std::pair<uint32_t, uint32_t>> nameAndThunks;
    for (const auto& library : libraries) {
        std::vector<Address> thunks;
        for (const auto& import : library.imports) {
            if (const auto* ordinal = std::get_if<uint16_t>(&import)) {
                // The thunk's top bit, set here rather than taken from the loader under test.
                thunks.push_back(Address{1} << (8 * sizeof(Address) - 1) | *ordinal);
            } else {
                const uint32_t hint = content.PutValue(uint16_t{0});
                content.PutText(std::get<std::string>(import));
                thunks.push_back(hint);
            }
        }
        const uint32_t name = content.PutText(library.name);
        const uint32_t first = content.Rva();
        for (Address thunk : thunks) content.PutValue(thunk);
        content.PutValue(Address{0});
        nameAndThunks.emplace_back(name, first);
    }
    PutDirectory directory{content.Rva(), 0, {}};
    for (const auto& [name, first] : nameAndThunks) {
        content.PutValue(loader::IMAGE_IMPORT_DESCRIPTOR{first, 0, 0, name, first});
        directory.thunkRvas.push_back(first);
    }
    content.PutValue(loader::IMAGE_IMPORT_DESCRIPTOR{});
    directory.size = content.Rva() - directory.rva;
    return directory;
}

struct ExportedName {
    std::string name;
    uint16_t index;
};

struct ExportedForwarder {
    uint16_t index;
    std::string text;  // "LIBRARY.Name" or "LIBRARY.#ordinal"
};

struct ExportPlan {
    uint32_t base = 1;
    std::vector<uint32_t> functions;
    std::vector<ExportedName> names;
    std::vector<ExportedForwarder> forwarders;  // replace those function entries
};

// An export directory, its tables, names and forwarder texts; the directory's size covers
// them all, as linkers lay it out.
PutDirectory PutExports(SectionContent& content, const ExportPlan& plan);

// Adds a section that holds what put writes, a directory, and points directory entry index at it.
template <typename Format, typename Put>
PutDirectory AddDirectorySection(ImageBuilder<Format>& builder, int index, Put put) {
    SectionContent content(builder.NextSectionRva());
    const PutDirectory directory = put(content);
    builder.AddSection(content);
    builder.SetDirectory(index, directory.rva, directory.size);
    return directory;
}

// The crafted DLLs keep their code, a page of return instructions, in their first section.
inline constexpr uint32_t CodeRva = 0x1000;
inline constexpr uint32_t CodeSize = 0x1000;

// A DLL entered at entryRva, with the given exports and a relocation directory that moves
// nothing, so that it can be mapped at any base.
template <typename Format>
ImageBuilder<Format> ExportingDll(const ExportPlan& plan, uint32_t entryRva = CodeRva) {
    ImageBuilder<Format> builder;
    builder.AddSection(Bytes(CodeSize, 0xC3));
    builder.Nt().OptionalHeader.AddressOfEntryPoint = entryRva;
    AddDirectorySection(builder, loader::ExportDirectoryIndex,
                        [&](SectionContent& content) { return PutExports(content, plan); });
    AddDirectorySection(builder, loader::RelocationDirectoryIndex,
                        [](SectionContent& content) { return PutRelocationDirectory(content, CodeRva, {0}); });
    return builder;
}

// Maps an image held in a byte array.
template <typename Format, typename Platform>
loader::MappedImage<Format> MapBytes(Platform& platform, const Bytes& image, uint64_t resolver = 0,
                                     uint64_t userValue = 0) {
    return loader::MapImage<Format>(platform, loader::ImageBytes(image.data(), image.size()), resolver, userValue);
}

// What a fixture file says, read without the loader.
struct ImportThunk {
    uint32_t slotRva;
    std::string dllName;
    std::string importName;  // the decimal text for an import by ordinal
    bool byOrdinal;
};

struct ImageLayout {
    uint64_t imageBase = 0;
    uint32_t entryRva = 0;
    uint16_t characteristics = 0;
    uint32_t ntOffset = 0;       // e_lfanew
    uint32_t headersLength = 0;  // the headers up to the end of the section table
    uint32_t sizeOfImage = 0;
    std::vector<loader::IMAGE_SECTION_HEADER> sections;
    std::vector<uint32_t> relocationBlocks;  // RVA of each block header
    std::vector<uint32_t> relocationTargets;
    std::vector<uint32_t> importDescriptors;  // RVA of each descriptor before the ending one
    std::vector<ImportThunk> thunks;
    std::vector<uint32_t> originalFirstThunks;
    loader::IMAGE_DATA_DIRECTORY exportDirectory{};
    uint32_t exportBase = 0;
    std::vector<uint32_t> exportFunctions;
    std::map<std::string, uint32_t> exportIndexByName;
};

template <typename Format>
ImageLayout ReadLayout(const Bytes& file);

// The file offset of the raw data at rva; throws for an RVA outside every section's raw data.
uint64_t FileOffsetOf(const ImageLayout& layout, uint32_t rva);

// Makes the simulated system's library of the thunk offer what it imports.
void OfferImport(loader::SimulatedPlatform& platform, const ImportThunk& thunk);

// The bytes a mapping should hold at rva, from the file: the headers, the sections' raw data,
// and zero elsewhere.
uint8_t FileByteAt(const Bytes& file, const ImageLayout& layout, uint32_t rva);

}  // namespace loader_test
