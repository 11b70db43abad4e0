// Corrupted fixture images of both formats mapped through the simulated platform: whatever the
// bytes say, nothing crashes, no call into code and no text handed on leaves the mapping, and
// nothing stays allocated once the image is freed. The corruptions come from a fixed seed, one
// generator per iteration, so that a failure names the iteration that reproduces it.
#include "TestImages.h"

#include "loader/BasicMemoryDll.h"
#include "loader/SimulatedPlatform.h"

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace loader_test {
namespace {

using namespace loader;

using Random = std::mt19937;

constexpr uint32_t Seed = 0x5EED2024;
constexpr uint32_t Iterations = 10000;
constexpr uint64_t Placement = 0x20000000;
constexpr uint64_t Resolver = 0x5000;

// Names and ordinals asked of every image that loads: present, aliased, forwarded, missing and
// not canonical.
const char* const Probes[] = {"FixtureAdd", "FixtureAddAlias", "FixtureForwardedLength", "FixtureForwardedMissing",
                              "Zeros",      "NoSuchExport",    "",                       "0",
                              "1",          "5",               "12",                     "13",
                              "65535",      "-1",              "2147483647",             "-2147483648"};

uint32_t Pick(Random& random, uint32_t count) { return std::uniform_int_distribution<uint32_t>(0, count - 1)(random); }

template <typename Item>
const Item& PickFrom(Random& random, const std::vector<Item>& items) {
    return items.at(Pick(random, static_cast<uint32_t>(items.size())));
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// A place in the file that a mutation overwrites.
struct Field {
    std::string name;
    uint64_t offset;
    uint32_t width;
};

template <typename Format>
class Mutator {
public:
    explicit Mutator(const Bytes& file) : file_(file), layout_(ReadLayout<Format>(file)) {}

    const ImageLayout& Layout() const { return layout_; }

    // Corrupts the image in one of many ways; the result says how.
    std::string Mutate(Bytes& image, Random& random) const {
        switch (Pick(random, 10)) {
            case 0: return RandomBytes(image, random, image.size());
            case 1: return RandomBytes(image, random, layout_.headersLength);
            case 2: return Overwrite(image, random, HeaderField(random));
            case 3: return Overwrite(image, random, SectionField(random));
            case 4: return Overwrite(image, random, RelocationField(random));
            case 5: return Overwrite(image, random, ImportField(random));
            case 6: return Overwrite(image, random, ExportField(random));
            case 7: return Smear(image, random);
            case 8: return CutInsideDirectory(image, random);
            default: return Truncate(image, random);
        }
    }

private:
    using Nt = typename Format::NtHeaders;
    using Address = typename Format::Address;

    // Boundary values, and values just around the mapping's and the file's size.
    uint64_t BoundaryValue(Random& random) const {
        static const uint32_t fixed[] = {0, 1, 2, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
        const uint64_t sizes[] = {layout_.sizeOfImage, file_.size()};
        if (Pick(random, 2) == 0) return fixed[Pick(random, std::size(fixed))];
        return static_cast<uint32_t>(sizes[Pick(random, 2)] + Pick(random, 17) - 8);
    }

    // Random bits, or a boundary value with or without the format's ordinal flag (for thunks).
    uint64_t FieldValue(Random& random) const {
        switch (Pick(random, 4)) {
            case 0: return std::uniform_int_distribution<uint64_t>()(random);
            case 1: return Format::OrdinalFlag | BoundaryValue(random);
            default: return BoundaryValue(random);
        }
    }

    // Writes the low bytes of value that fit the field and the image; returns what was written.
    static uint64_t Put(Bytes& image, uint64_t offset, uint32_t width, uint64_t value) {
        for (uint32_t i = 0; i < width && offset + i < image.size(); ++i) {
            image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        return width == 8 ? value : value & ((uint64_t{1} << (8 * width)) - 1);
    }

    std::string Overwrite(Bytes& image, Random& random, const Field& field) const {
        return field.name + " = " + Hex(Put(image, field.offset, field.width, FieldValue(random)));
    }

    // Ends the mapping inside the import or the export directory, so that a text there may run
    // to the very end of the mapping: the sections behind the cut are dropped, and so are the
    // directories there (an image left without relocations maps only at its ImageBase).
    std::string CutInsideDirectory(Bytes& image, Random& random) const {
        Nt nt = ReadAt<Nt>(file_, layout_.ntOffset);
        auto* directories = nt.OptionalHeader.DataDirectory;
        const int cutDirectory = Pick(random, 2) == 0 ? ImportDirectoryIndex : ExportDirectoryIndex;
        const IMAGE_DATA_DIRECTORY directory = directories[cutDirectory];
        const uint32_t end = directory.VirtualAddress + 1 + Pick(random, directory.Size);
        uint16_t last = 0;
        while (layout_.sections.at(last).VirtualAddress + layout_.sections[last].SizeOfRawData < end) ++last;
        nt.FileHeader.NumberOfSections = last + 1;
        nt.OptionalHeader.SectionAlignment = 1;
        nt.OptionalHeader.SizeOfImage = 1;
        for (int index = 0; index < DirectoryCount; ++index) {
            if (directories[index].VirtualAddress >= end) directories[index] = {};
        }
        IMAGE_SECTION_HEADER section = layout_.sections[last];
        section.VirtualSize = section.SizeOfRawData = end - section.VirtualAddress;
        const uint64_t sectionHeader = layout_.ntOffset + sizeof(Nt) + sizeof(IMAGE_SECTION_HEADER) * last;
        if (image.size() >= sectionHeader + sizeof(section)) {
            WriteAt(image, layout_.ntOffset, nt);
            WriteAt(image, sectionHeader, section);
        }
        return "mapping cut at " + Hex(end) + " inside directory " + std::to_string(cutDirectory);
    }

    std::string RandomBytes(Bytes& image, Random& random, uint64_t range) const {
        range = std::min<uint64_t>(range, image.size());
        if (range == 0) return "no bytes to change";
        std::string description = "random bytes at";
        for (uint32_t count = 1 + Pick(random, 8); count > 0; --count) {
            const uint32_t at = Pick(random, static_cast<uint32_t>(range));
            image[at] = static_cast<uint8_t>(random());
            description.append(" ").append(Hex(at));
        }
        return description;
    }

    // Non-zero bytes over a stretch: texts there lose their terminators.
    std::string Smear(Bytes& image, Random& random) const {
        if (image.empty()) return "no bytes to smear";
        const uint32_t at = Pick(random, static_cast<uint32_t>(image.size()));
        const uint32_t length = std::min<uint32_t>(1 + Pick(random, 0x400), static_cast<uint32_t>(image.size()) - at);
        std::fill_n(image.begin() + at, length, uint8_t{'A'});
        return "'A' x " + Hex(length) + " at " + Hex(at);
    }

    std::string Truncate(Bytes& image, Random& random) const {
        if (image.empty()) return "no bytes to cut";
        const uint64_t lengths[] = {Pick(random, static_cast<uint32_t>(image.size())),
                                    sizeof(IMAGE_DOS_HEADER) - 1,
                                    layout_.ntOffset + sizeof(Nt) - 1,
                                    layout_.headersLength,
                                    layout_.headersLength - 1,
                                    image.size() - 1};
        image.resize(std::min<uint64_t>(lengths[Pick(random, std::size(lengths))], image.size()));
        return "truncated to " + Hex(image.size());
    }

    uint64_t NtField(size_t offset) const { return layout_.ntOffset + offset; }

    uint64_t DirectoryField(int index, size_t member) const {
        return NtField(offsetof(Nt, OptionalHeader.DataDirectory) + sizeof(IMAGE_DATA_DIRECTORY) * index + member);
    }

    Field HeaderField(Random& random) const {
        const std::vector<Field> fields = {
            {"e_lfanew", offsetof(IMAGE_DOS_HEADER, e_lfanew), 4},
            {"NumberOfSections", NtField(offsetof(Nt, FileHeader.NumberOfSections)), 2},
            {"Characteristics", NtField(offsetof(Nt, FileHeader.Characteristics)), 2},
            {"AddressOfEntryPoint", NtField(offsetof(Nt, OptionalHeader.AddressOfEntryPoint)), 4},
            {"ImageBase", NtField(offsetof(Nt, OptionalHeader.ImageBase)), sizeof(Address)},
            {"SectionAlignment", NtField(offsetof(Nt, OptionalHeader.SectionAlignment)), 4},
            {"SizeOfImage", NtField(offsetof(Nt, OptionalHeader.SizeOfImage)), 4},
            {"SizeOfHeaders", NtField(offsetof(Nt, OptionalHeader.SizeOfHeaders)), 4},
            {"export directory VirtualAddress", DirectoryField(ExportDirectoryIndex, 0), 4},
            {"export directory Size", DirectoryField(ExportDirectoryIndex, 4), 4},
            {"import directory VirtualAddress", DirectoryField(ImportDirectoryIndex, 0), 4},
            {"import directory Size", DirectoryField(ImportDirectoryIndex, 4), 4},
            {"relocation directory VirtualAddress", DirectoryField(RelocationDirectoryIndex, 0), 4},
            {"relocation directory Size", DirectoryField(RelocationDirectoryIndex, 4), 4},
        };
        return PickFrom(random, fields);
    }

    Field SectionField(Random& random) const {
        const uint32_t index = Pick(random, static_cast<uint32_t>(layout_.sections.size()));
        const uint64_t header = NtField(sizeof(Nt)) + sizeof(IMAGE_SECTION_HEADER) * index;
        const std::vector<Field> fields = {
            {"VirtualSize", header + offsetof(IMAGE_SECTION_HEADER, VirtualSize), 4},
            {"VirtualAddress", header + offsetof(IMAGE_SECTION_HEADER, VirtualAddress), 4},
            {"SizeOfRawData", header + offsetof(IMAGE_SECTION_HEADER, SizeOfRawData), 4},
            {"PointerToRawData", header + offsetof(IMAGE_SECTION_HEADER, PointerToRawData), 4},
        };
        Field field = PickFrom(random, fields);
        field.name = "section " + std::to_string(index) + " " + field.name;
        return field;
    }

    Field RelocationField(Random& random) const {
        const uint32_t rva = PickFrom(random, layout_.relocationBlocks);
        const uint64_t block = FileOffsetOf(layout_, rva);
        const auto header = ReadAt<IMAGE_BASE_RELOCATION>(file_, block);
        const uint32_t entries = (header.SizeOfBlock - sizeof(header)) / 2;
        const std::string name = "relocation block at " + Hex(rva);
        switch (Pick(random, 3)) {
            case 0: return {name + " VirtualAddress", block + offsetof(IMAGE_BASE_RELOCATION, VirtualAddress), 4};
            case 1: return {name + " SizeOfBlock", block + offsetof(IMAGE_BASE_RELOCATION, SizeOfBlock), 4};
            default: {
                const uint32_t entry = Pick(random, entries);
                return {name + " entry " + std::to_string(entry), block + sizeof(header) + 2 * entry, 2};
            }
        }
    }

    Field ImportField(Random& random) const {
        if (Pick(random, 2) == 0) {
            const ImportThunk& thunk = PickFrom(random, layout_.thunks);
            return {"thunk of " + thunk.importName, FileOffsetOf(layout_, thunk.slotRva), sizeof(Address)};
        }
        const uint32_t rva = PickFrom(random, layout_.importDescriptors);
        const uint64_t descriptor = FileOffsetOf(layout_, rva);
        const std::vector<Field> fields = {
            {"OriginalFirstThunk", descriptor + offsetof(IMAGE_IMPORT_DESCRIPTOR, OriginalFirstThunk), 4},
            {"Name", descriptor + offsetof(IMAGE_IMPORT_DESCRIPTOR, Name), 4},
            {"FirstThunk", descriptor + offsetof(IMAGE_IMPORT_DESCRIPTOR, FirstThunk), 4},
        };
        Field field = PickFrom(random, fields);
        field.name = "import descriptor at " + Hex(rva) + " " + field.name;
        return field;
    }

    Field ExportField(Random& random) const {
        const uint64_t directory = FileOffsetOf(layout_, layout_.exportDirectory.VirtualAddress);
        const auto exports = ReadAt<IMAGE_EXPORT_DIRECTORY>(file_, directory);
        const uint32_t function = Pick(random, exports.NumberOfFunctions);
        const uint32_t name = Pick(random, exports.NumberOfNames);
        const std::vector<Field> fields = {
            {"export Base", directory + offsetof(IMAGE_EXPORT_DIRECTORY, Base), 4},
            {"export NumberOfFunctions", directory + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfFunctions), 4},
            {"export NumberOfNames", directory + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames), 4},
            {"export AddressOfFunctions", directory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions), 4},
            {"export AddressOfNames", directory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames), 4},
            {"export AddressOfNameOrdinals", directory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals), 4},
            {"export function " + std::to_string(function),
             FileOffsetOf(layout_, exports.AddressOfFunctions + 4 * function), 4},
            {"export name " + std::to_string(name), FileOffsetOf(layout_, exports.AddressOfNames + 4 * name), 4},
            {"export name ordinal " + std::to_string(name),
             FileOffsetOf(layout_, exports.AddressOfNameOrdinals + 2 * name), 2},
        };
        return PickFrom(random, fields);
    }

    const Bytes& file_;
    ImageLayout layout_;
};

// Offers every import of the original image through GetProcAddress, and the forwarders' target.
void OfferImports(SimulatedPlatform& platform, const ImageLayout& layout) {
    for (const auto& thunk : layout.thunks) OfferImport(platform, thunk);
    platform.AddLibraryExport("kernel32", "lstrlenA");
}

// The iteration being mapped. A sanitizer report ends the process before any expectation can
// name it, so the report names it.
std::string currentIteration;

void NameIterationOnSanitizerReport() {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback([] { std::fprintf(stderr, "while mapping %s\n", currentIteration.c_str()); });
#endif
}

struct Outcome {
    bool loaded;
    bool freed;
    size_t regionsAfterFree;
    std::vector<std::string> violations;
};

template <typename Format>
Outcome LoadProbeAndFree(const Bytes& image, const ImageLayout& layout, bool resolverAnswers, bool atImageBase) {
    SimulatedPlatform platform(Placement);
    OfferImports(platform, layout);
    platform.SetResolverAnswers(resolverAnswers);
    platform.AllowPreferredBase(atImageBase);
    BasicMemoryDll<Format, SimulatedPlatform> dll(platform);
    const bool loaded = dll.Load(image.data(), image.size(), Resolver, 0x77);
    for (const char* name : Probes) dll.GetProc(name);
    dll.GetEntryPoint();
    const bool freed = dll.Free();
    return {loaded, freed, platform.LiveRegions(), platform.Violations()};
}

template <typename Format>
void RunMutations(const std::string& arch, const std::string& name, uint32_t stream) {
    const Bytes file = ReadFixture(arch, name);
    ASSERT_FALSE(file.empty()) << arch << " " << name;
    const Mutator<Format> mutator(file);
    NameIterationOnSanitizerReport();
    uint32_t loaded = 0;
    for (uint32_t iteration = 0; iteration < Iterations; ++iteration) {
        const uint32_t seed = Seed + stream * Iterations + iteration;
        Random random(seed);
        Bytes image = file;
        std::string mutations;
        for (uint32_t count = 1 + Pick(random, 3); count > 0; --count) {
            mutations += (mutations.empty() ? "" : "; ") + mutator.Mutate(image, random);
        }
        currentIteration = "iteration " + std::to_string(iteration) + " of " + arch + " " + name + " (seed " +
                           std::to_string(seed) + "): " + mutations;
        const std::string& where = currentIteration;
        const Outcome outcome = LoadProbeAndFree<Format>(image, mutator.Layout(), iteration % 2 == 0, iteration % 4 < 2);
        EXPECT_EQ(outcome.violations, std::vector<std::string>{}) << where;
        EXPECT_TRUE(outcome.freed) << where;
        EXPECT_EQ(outcome.regionsAfterFree, 0u) << where;
        if (testing::Test::HasFailure()) return;
        loaded += outcome.loaded ? 1 : 0;
    }
    // Both outcomes must be common, or the corruptions test little.
    EXPECT_GT(loaded, Iterations / 10);
    EXPECT_LT(loaded, Iterations * 9 / 10);
}

TEST(LoaderMutation, CorruptI686ImagesLoadOrFailCleanly) {
    RunMutations<Pe32>("i686", "LoaderFixture.dll", 0);
    RunMutations<Pe32>("i686", "LoaderFixtureProgram.exe", 1);
}

TEST(LoaderMutation, CorruptX8664ImagesLoadOrFailCleanly) {
    RunMutations<Pe32Plus>("x86-64", "LoaderFixture.dll", 2);
    RunMutations<Pe32Plus>("x86-64", "LoaderFixtureProgram.exe", 3);
}

}  // namespace
}  // namespace loader_test
