// FindExport through a mapped crafted DLL: ordinals told from names, the name search in table
// order, the lookups that find nothing, tables that point outside the mapping, and forwarders.
#include "TestImages.h"

#include "loader/ImageExports.h"
#include "loader/ImageHeaders.h"
#include "loader/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loader_test {
namespace {

using namespace loader;

// Away from the ImageBase, so that an address made from ImageBase instead of the base shows.
constexpr uint64_t Placement = 0x30000000;

uint32_t FunctionRva(uint32_t index) { return CodeRva + 0x10 * index; }

class MappedDll {
public:
    explicit MappedDll(const ImageBuilder<Pe32>& builder) : mapped_(MapBytes<Pe32>(platform_, builder.Build())) {}

    bool Mapped() const { return mapped_.base == Placement; }
    uint64_t Find(std::string_view name) { return FindExport<Pe32>(platform_, mapped_, name); }
    uint64_t Address(uint32_t rva) const { return mapped_.base + rva; }
    SimulatedPlatform& Platform() { return platform_; }
    MappingBytes Mapping() const { return mapped_.bytes; }

    IMAGE_DATA_DIRECTORY ExportDirectory() const {
        return ReadMappedHeaders<Pe32>(mapped_.bytes)->nt.OptionalHeader.DataDirectory[ExportDirectoryIndex];
    }
    IMAGE_EXPORT_DIRECTORY Exports() const {
        return mapped_.bytes.Read<IMAGE_EXPORT_DIRECTORY>(ExportDirectory().VirtualAddress).value();
    }
    void SetExports(const IMAGE_EXPORT_DIRECTORY& exports) {
        mapped_.bytes.Write(ExportDirectory().VirtualAddress, exports);
    }

private:
    SimulatedPlatform platform_{Placement};
    MappedImage<Pe32> mapped_;
};

// A lookup and the index of the function it should find, or nothing for 0.
struct Lookup {
    std::string name;
    std::optional<uint32_t> function;
};

void ExpectLookups(MappedDll& dll, const std::vector<Lookup>& lookups) {
    for (const auto& lookup : lookups) {
        const uint64_t expected = lookup.function ? dll.Address(FunctionRva(*lookup.function)) : 0;
        EXPECT_EQ(dll.Find(lookup.name), expected) << '"' << lookup.name << '"';
    }
}

constexpr std::nullopt_t none = std::nullopt;

// Base 1, twenty functions: ordinal n is function n - 1. Each name names a function that no
// ordinal reading of the same text gives.
ExportPlan OrdinalsAndLookalikeNames() {
    ExportPlan plan;
    plan.base = 1;
    for (uint32_t i = 0; i < 20; ++i) plan.functions.push_back(FunctionRva(i));
    plan.names = {{"0", 13},  {"12", 14}, {"-5", 15},  {"012", 16}, {" 12", 17},
                  {"-0", 18}, {"12a", 19}, {"+12", 10}, {"", 9},     {"01", 8}};
    return plan;
}

TEST(FindExport, TakesTheCanonicalDecimalTextOfANumberAsAnOrdinalAndAllElseAsAName) {
    MappedDll dll(ExportingDll<Pe32>(OrdinalsAndLookalikeNames()));
    ASSERT_TRUE(dll.Mapped());
    ExpectLookups(dll, {
                           // Ordinals: never searched for as names. "0" and "21" lie just outside the table.
                           {"1", 0},
                           {"12", 11},
                           {"20", 19},
                           {"0", none},
                           {"21", none},
                           {"-5", none},
                           {"2147483647", none},
                           {"-2147483648", none},
                           // Names.
                           {"012", 16},
                           {" 12", 17},
                           {"-0", 18},
                           {"12a", 19},
                           {"+12", 10},
                           {"", 9},
                           {"01", 8},
                       });
}

// In table order: a name whose index is not below NumberOfFunctions is passed over, the first
// of two equal names wins, and a zero RVA lets the search go on. Letter case matters.
TEST(FindExport, SearchesTheNamesInTableOrder) {
    ExportPlan plan;
    plan.functions = {FunctionRva(0), FunctionRva(1), 0, FunctionRva(3), FunctionRva(4), FunctionRva(5)};
    plan.names = {{"SkinAttach", 0}, {"Passed", 6}, {"Passed", 1}, {"Twice", 3},
                  {"Twice", 4},      {"Zero", 2},   {"Zero", 5}};
    MappedDll dll(ExportingDll<Pe32>(plan));
    ASSERT_TRUE(dll.Mapped());
    ExpectLookups(dll, {
                           {"SkinAttach", 0},
                           {"skinattach", none},
                           {"SKINATTACH", none},
                           {"SkinAttac", none},
                           {"SkinAttachX", none},
                           {"Passed", 1},
                           {"Twice", 3},
                           {"Zero", 5},
                           {"3", none},  // the zero entry by its ordinal
                           {"Missing", none},
                       });
}

ExportPlan TwoNamedFunctions() {
    ExportPlan plan;
    plan.functions = {FunctionRva(0), FunctionRva(1)};
    plan.names = {{"First", 0}, {"Second", 1}};
    return plan;
}

TEST(FindExport, FindsNothingWhenTheExportDirectoryHasSize0) {
    ImageBuilder<Pe32> builder = ExportingDll<Pe32>(TwoNamedFunctions());
    builder.Nt().OptionalHeader.DataDirectory[ExportDirectoryIndex].Size = 0;
    MappedDll dll(builder);
    ASSERT_TRUE(dll.Mapped());
    ExpectLookups(dll, {{"First", none}, {"1", none}});
}

TEST(FindExport, FindsNothingInHeadersWithoutTheirSignatures) {
    // The first byte of e_magic, then of Signature.
    for (const uint64_t offset : {uint64_t{0}, uint64_t{sizeof(IMAGE_DOS_HEADER)}}) {
        MappedDll dll(ExportingDll<Pe32>(TwoNamedFunctions()));
        ASSERT_EQ(dll.Find("First"), dll.Address(FunctionRva(0)));
        dll.Mapping().Write(offset, uint8_t{0});
        EXPECT_EQ(dll.Find("First"), 0u) << offset;
        EXPECT_EQ(dll.Find("1"), 0u) << offset;
    }
}

struct Corruption {
    const char* name;
    std::function<void(MappingBytes, IMAGE_EXPORT_DIRECTORY&)> change;
    const char* lookup;
};

// Each change makes the lookup's way lead outside the mapping, which ends behind the
// relocation section; under the sanitizers a read outside it would show.
TEST(FindExport, FindsNothingThroughTablesThatLeaveTheMapping) {
    const Corruption cases[] = {
        {"functions crossing the end", [](auto mapping, auto& exports) { exports.AddressOfFunctions = mapping.size() - 2; },
         "1"},
        {"functions far outside", [](auto, auto& exports) { exports.AddressOfFunctions = 0xFFFFFFFC; }, "First"},
        {"an ordinal far beyond the table",
         [](auto, auto& exports) { exports.NumberOfFunctions = 0x7FFFFFFF; }, "2000000000"},
        {"names crossing the end", [](auto mapping, auto& exports) { exports.AddressOfNames = mapping.size() - 2; },
         "First"},
        {"name indexes crossing the end",
         [](auto mapping, auto& exports) { exports.AddressOfNameOrdinals = mapping.size() - 1; }, "First"},
        {"more names than the tables hold", [](auto, auto& exports) { exports.NumberOfNames = 0xFFFFFFFF; }, "Missing"},
        {"a name running off the end",
         [](auto mapping, auto& exports) {
             mapping.Write(mapping.size() - 1, uint8_t{'F'});
             mapping.Write(exports.AddressOfNames, static_cast<uint32_t>(mapping.size() - 1));
         },
         "F"},
        {"a function beyond the mapping",
         [](auto mapping, auto& exports) {
             mapping.Write(exports.AddressOfFunctions, static_cast<uint32_t>(mapping.size()));
         },
         "1"},
        {"a directory crossing the end",
         [](auto mapping, auto&) {
             const uint64_t directory = sizeof(IMAGE_DOS_HEADER) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader.DataDirectory);
             mapping.Write(directory, IMAGE_DATA_DIRECTORY{static_cast<uint32_t>(mapping.size() - 20), 40});
         },
         "First"},
    };
    for (const auto& corruption : cases) {
        MappedDll dll(ExportingDll<Pe32>(TwoNamedFunctions()));
        ASSERT_TRUE(dll.Mapped());
        IMAGE_EXPORT_DIRECTORY exports = dll.Exports();
        corruption.change(dll.Mapping(), exports);
        dll.SetExports(exports);
        EXPECT_EQ(dll.Find(corruption.lookup), 0u) << corruption.name;
    }
}

TEST(FindExport, ResolvesForwardersThroughTheLibraryTheyNameAndNeverReturnsTheirText) {
    ExportPlan plan;
    plan.functions = {FunctionRva(0), 0, 0, 0, 0, 0, 0};
    plan.forwarders = {{1, "LIB.Name"},    {2, "LIB.#7"}, {3, "NOLIB.Name"}, {4, "LIB.Missing"},
                       {5, "LIB.#8"},      {6, "NoDot"}};
    plan.names = {{"ByName", 1},      {"ByOrdinal", 2},      {"UnknownLibrary", 3},
                  {"UnknownName", 4}, {"UnknownOrdinal", 5}, {"NoLibrary", 6}};
    MappedDll dll(ExportingDll<Pe32>(plan));
    ASSERT_TRUE(dll.Mapped());
    SimulatedPlatform& platform = dll.Platform();
    platform.AddLibraryExport("LIB", "Name");
    platform.AddLibraryExport("LIB", uint16_t{7});
    EXPECT_EQ(dll.Find("ByName"), platform.ExportAddress("LIB", "Name"));
    EXPECT_EQ(dll.Find("ByOrdinal"), platform.ExportAddress("LIB", uint16_t{7}));
    EXPECT_EQ(dll.Find("3"), platform.ExportAddress("LIB", uint16_t{7}));  // the same entry by its ordinal
    for (const char* unresolved : {"UnknownLibrary", "UnknownName", "UnknownOrdinal", "NoLibrary", "4"}) {
        EXPECT_EQ(dll.Find(unresolved), 0u) << unresolved;
    }
    EXPECT_EQ(dll.Find("1"), dll.Address(FunctionRva(0)));
}

// Only an RVA inside the export directory's range is a forwarder; the bytes just before and
// behind it are code. The texts at the directory's first and last bytes name no library.
TEST(FindExport, TakesOnlyRvasInsideTheExportDirectoryAsForwarders) {
    MappedDll dll(ExportingDll<Pe32>(TwoNamedFunctions()));
    ASSERT_TRUE(dll.Mapped());
    const IMAGE_DATA_DIRECTORY directory = dll.ExportDirectory();
    const uint32_t start = directory.VirtualAddress;
    const uint32_t behind = start + directory.Size;
    const uint32_t functions = dll.Exports().AddressOfFunctions;
    for (const uint32_t rva : {start - 1, start, behind - 1, behind}) {
        dll.Mapping().Write(functions, rva);
        const bool code = rva < start || rva >= behind;
        EXPECT_EQ(dll.Find("First"), code ? dll.Address(rva) : 0) << rva - start;
    }
}

}  // namespace
}  // namespace loader_test
