// MapImage over the simulated platform, on images crafted byte by byte: sizing, the header and
// section copies, relocation in both formats, import binding, the entry calls, and the images
// it refuses with nothing left allocated.
#include "TestImages.h"

#include "loader/ImageMapping.h"
#include "loader/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace loader_test {
namespace {

using namespace loader;

// 0x10000000 above the PE32 ImageBase of the builder. For PE32+, a base whose distance from
// ImageBase carries out of the low half of the words it moves.
constexpr uint64_t Pe32Placement = 0x20000000;
constexpr uint64_t Pe32PlusPlacement = 0x7FF6F0000000;
constexpr uint64_t Resolver = 0x00401000;  // the simulated platform answers for any resolver
constexpr uint64_t UserValue = 0xC0FFEE;
constexpr uint32_t PageSize = 0x1000;
constexpr uint32_t DataRva = 0x1000;  // the first section of every crafted image
constexpr size_t Pe32HeadersLength = sizeof(IMAGE_DOS_HEADER) + sizeof(IMAGE_NT_HEADERS32);

constexpr uint16_t HighLow(uint16_t offset) { return 0x3000 | offset; }
constexpr uint16_t Dir64(uint16_t offset) { return 0xA000 | offset; }

template <typename Value, typename Format>
Value At(const MappedImage<Format>& mapped, uint64_t rva) {
    return mapped.bytes.template Read<Value>(rva).value();
}

Bytes Span(const MappedImage<Pe32>& mapped, uint64_t from, uint64_t to) {
    return Bytes(mapped.bytes.data() + from, mapped.bytes.data() + to);
}

// Images without relocations are mapped only at their preferred base.
SimulatedPlatform GrantingPreferredBase() {
    SimulatedPlatform platform(Pe32Placement);
    platform.AllowPreferredBase(true);
    return platform;
}

// The simulated platform that also records the sizes of memory asked for, and the order in
// which libraries are loaded and imports resolved.
class RecordingPlatform : public SimulatedPlatform {
public:
    using SimulatedPlatform::SimulatedPlatform;

    Region VirtualAlloc(uint64_t preferred, uint64_t size) {
        requestedSizes.push_back(size);
        return SimulatedPlatform::VirtualAlloc(preferred, size);
    }
    uint64_t LoadLibraryA(const char* name) {
        importSteps.push_back(std::string("load ") + name);
        return SimulatedPlatform::LoadLibraryA(name);
    }
    uint64_t CallResolver(uint64_t resolver, const char* dllName, const char* importName, uint64_t userValue) {
        importSteps.push_back(std::string("resolve ") + importName);
        return SimulatedPlatform::CallResolver(resolver, dllName, importName, userValue);
    }

    std::vector<uint64_t> requestedSizes;
    std::vector<std::string> importSteps;
};

TEST(AlignUp, MovesAValueUpToAMultipleOfTheAlignment) {
    EXPECT_EQ(AlignUp(0, 4096), 0u);
    EXPECT_EQ(AlignUp(1, 4096), 4096u);
    EXPECT_EQ(AlignUp(4096, 4096), 4096u);
    EXPECT_EQ(AlignUp(4097, 4096), 8192u);
    // Exact beyond 32 bits, so that a section ending past 4 GB is seen to.
    EXPECT_EQ(AlignUp(0xFFFFF001, 4096), 0x100000000u);
}

struct SizingCase {
    const char* name;
    std::function<void(ImageBuilder<Pe32>&)> shape;
    uint64_t mappingSize;
};

TEST(MapImage, SizesTheMappingToTheDeclaredSizeOrTheFarthestAlignedSectionEnd) {
    const SizingCase cases[] = {
        {"raw data past SizeOfImage",
         [](auto& image) {
             image.AddSection(Bytes(0x1800, 1));
             image.Nt().OptionalHeader.SizeOfImage = 0x2000;
         },
         0x3000},
        {"VirtualSize beyond 16 bits",
         [](auto& image) {
             image.AddSection(Bytes(0x10, 1), 0x12345);
             image.Nt().OptionalHeader.SizeOfImage = 0x2000;
         },
         0x14000},
        {"the image's own section alignment",
         [](auto& image) {
             image.AddSection(Bytes(0x10, 1));
             image.Nt().OptionalHeader.SectionAlignment = 0x10000;
         },
         0x10000},
        {"sections inside a larger SizeOfImage",
         [](auto& image) {
             image.AddSection(Bytes(0x10, 1));
             image.Nt().OptionalHeader.SizeOfImage = 0x5000;
         },
         0x5000},
        {"an unaligned SizeOfImage",
         [](auto& image) {
             image.AddSection(Bytes(0x10, 1));
             image.Nt().OptionalHeader.SizeOfImage = 0x2345;
         },
         0x2345},
    };
    for (const auto& sizing : cases) {
        ImageBuilder<Pe32> builder;
        sizing.shape(builder);
        SimulatedPlatform platform = GrantingPreferredBase();
        EXPECT_NE(MapBytes<Pe32>(platform, builder.Build()).base, 0u) << sizing.name;
        EXPECT_EQ(platform.LastRegionSize(), sizing.mappingSize) << sizing.name;
    }
}

// The headers are a plain copy up to the end of the section table, whatever SizeOfHeaders says;
// a section gets its raw bytes, also beyond the declared SizeOfImage, and zeros behind them.
TEST(MapImage, CopiesTheHeadersAndTheRawDataOfEachSection) {
    ImageBuilder<Pe32> builder;
    const uint32_t code = builder.AddSection(Bytes(0x1800, 0xC3));
    builder.AddSection(Bytes{}, 0x800);
    builder.Section(1).PointerToRawData = builder.Section(0).PointerToRawData;  // without raw size: not read
    builder.AddSection(Bytes(0x200, 0xAB));
    builder.Section(2).VirtualAddress = 0;  // would land on the headers
    builder.Nt().OptionalHeader.SizeOfImage = 0x2000;
    Bytes image = builder.Build();
    const size_t headersEnd = Pe32HeadersLength + 3 * sizeof(IMAGE_SECTION_HEADER);
    std::fill(image.begin() + headersEnd, image.begin() + ImageBuilder<Pe32>::RawDataStart, 0xEE);

    SimulatedPlatform platform = GrantingPreferredBase();
    const auto mapped = MapBytes<Pe32>(platform, image);
    ASSERT_NE(mapped.base, 0u);
    ASSERT_EQ(mapped.bytes.size(), 0x4000u);
    EXPECT_EQ(Span(mapped, 0, headersEnd), Bytes(image.begin(), image.begin() + headersEnd));
    EXPECT_EQ(Span(mapped, headersEnd, code), Bytes(code - headersEnd, 0));
    EXPECT_EQ(Span(mapped, code, code + 0x1800), Bytes(0x1800, 0xC3));
    EXPECT_EQ(Span(mapped, code + 0x1800, 0x4000), Bytes(0x4000 - code - 0x1800, 0));
}

// A DLL whose first section holds words, and whose relocation directory holds the blocks that
// put writes: all of them, unless a directory size is given.
template <typename Format>
Bytes RelocatedDll(const std::vector<typename Format::Address>& words, const std::function<void(SectionContent&)>& put,
                   std::optional<uint32_t> directorySize = std::nullopt) {
    ImageBuilder<Format> builder;
    SectionContent data(builder.NextSectionRva());
    for (const auto word : words) data.PutValue(word);
    builder.AddSection(data);
    AddDirectorySection(builder, RelocationDirectoryIndex, [&](SectionContent& content) {
        const uint32_t start = content.Rva();
        put(content);
        return PutDirectory{start, directorySize.value_or(content.Rva() - start), {}};
    });
    return builder.Build();
}

template <typename Format>
std::vector<typename Format::Address> Words(const MappedImage<Format>& mapped, size_t count) {
    using Address = typename Format::Address;
    std::vector<Address> words;
    for (size_t i = 0; i < count; ++i) words.push_back(At<Address>(mapped, DataRva + i * sizeof(Address)));
    return words;
}

TEST(MapImage, MovesEachHighLowTargetByTheDistanceFromImageBaseModulo2To32) {
    // The second word wraps; the fourth has a DIR64 entry, which PE32 skips.
    const Bytes image = RelocatedDll<Pe32>({0x10001000, 0xF0000010, 0x10002000, 0x10003000}, [](auto& content) {
        PutRelocationBlock(content, DataRva, {HighLow(0), HighLow(4), HighLow(8), Dir64(12)});
    });
    SimulatedPlatform platform(Pe32Placement);
    const auto mapped = MapBytes<Pe32>(platform, image);
    ASSERT_EQ(mapped.base, Pe32Placement);
    EXPECT_EQ(Words(mapped, 4), (std::vector<uint32_t>{0x20001000, 0x00000010, 0x20002000, 0x10003000}));
}

TEST(MapImage, MovesEachDir64TargetByTheWholeDistanceInPe32Plus) {
    // The distance carries out of the second word's low half; the third has a HIGHLOW entry,
    // which PE32+ skips.
    const Bytes image = RelocatedDll<Pe32Plus>({0x180001000, 0x1A0000000, 0x180002000}, [](auto& content) {
        PutRelocationBlock(content, DataRva, {Dir64(0), Dir64(8), HighLow(16)});
    });
    SimulatedPlatform platform(Pe32PlusPlacement);
    const auto mapped = MapBytes<Pe32Plus>(platform, image);
    ASSERT_EQ(mapped.base, Pe32PlusPlacement);
    EXPECT_EQ(Words(mapped, 3), (std::vector<uint64_t>{0x7FF6F0001000, 0x7FF710000000, 0x180002000}));
}

TEST(MapImage, KeepsEveryTargetAtThePreferredBaseButStillWalksTheBlocks) {
    const Bytes image = RelocatedDll<Pe32>({0x10001000, 0x10002000}, [](auto& content) {
        PutRelocationBlock(content, DataRva, {HighLow(0), HighLow(4)});
    });
    SimulatedPlatform platform = GrantingPreferredBase();
    const auto mapped = MapBytes<Pe32>(platform, image);
    ASSERT_EQ(mapped.base, 0x10000000u);
    EXPECT_EQ(Words(mapped, 2), (std::vector<uint32_t>{0x10001000, 0x10002000}));

    // A target outside the mapping refuses the image even where nothing would move.
    const Bytes outside = RelocatedDll<Pe32>({0x10001000}, [](auto& content) {
        PutRelocationBlock(content, 0x10000, {HighLow(0)});
    });
    SimulatedPlatform other = GrantingPreferredBase();
    EXPECT_EQ(MapBytes<Pe32>(other, outside).base, 0u);
    EXPECT_EQ(other.LiveRegions(), 0u);
}

// Where the system gives another base than the one asked for, the distance is taken from the
// base it gave: an ImageBase off the 64 KB granularity is rounded down, and a region that would
// end beyond 4 GB is useless to a PE32 image, which is placed elsewhere.
TEST(MapImage, RelocatesFromTheBaseTheSystemGave) {
    struct Case {
        uint32_t imageBase;
        uint32_t word;
        uint64_t base;
        uint32_t moved;
    };
    const Case cases[] = {{0x10008000, 0x10009000, 0x10000000, 0x10001000},
                          {0xFFFF0000, 0xFFFF1000, Pe32Placement, 0x20001000}};
    for (const auto& c : cases) {
        constexpr size_t Optional = sizeof(IMAGE_DOS_HEADER) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
        Bytes image = RelocatedDll<Pe32>({c.word}, [](auto& content) {
            PutRelocationBlock(content, DataRva, {HighLow(0)});
        });
        image = WithValue(image, Optional + offsetof(IMAGE_OPTIONAL_HEADER32, ImageBase), c.imageBase);
        // 128 KB: from 0xFFFF0000 on, the region would pass 4 GB.
        image = WithValue(image, Optional + offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfImage), uint32_t{0x20000});
        SimulatedPlatform platform = GrantingPreferredBase();
        const auto mapped = MapBytes<Pe32>(platform, image);
        EXPECT_EQ(mapped.base, c.base) << std::hex << c.imageBase;
        ASSERT_NE(mapped.base, 0u);
        EXPECT_EQ(Words(mapped, 1), std::vector<uint32_t>{c.moved}) << std::hex << c.imageBase;
        EXPECT_EQ(platform.LiveRegions(), 1u);
        EXPECT_TRUE(platform.Violations().empty());
    }
}

TEST(MapImage, ChangesOnlyTheFirstTargetOfABlockPaddedWithATypeZeroEntry) {
    // The padding entry's offset 0 names the first word, which stays.
    const Bytes image = RelocatedDll<Pe32>({0x10001000, 0x10002000}, [](auto& content) {
        PutRelocationBlock(content, DataRva, {HighLow(4), 0});
    });
    SimulatedPlatform platform(Pe32Placement);
    const auto mapped = MapBytes<Pe32>(platform, image);
    ASSERT_NE(mapped.base, 0u);
    EXPECT_EQ(Words(mapped, 2), (std::vector<uint32_t>{0x10001000, 0x20002000}));
}

struct WalkCase {
    const char* name;
    std::function<void(SectionContent&)> put;
    std::optional<uint32_t> directorySize;
};

// Each walk moves the first word and ends before any entry that names the other two.
TEST(MapImage, EndsTheRelocationWalk) {
    const auto first = [](SectionContent& content) { PutRelocationBlock(content, DataRva, {HighLow(0)}); };
    const auto rest = [](SectionContent& content) { PutRelocationBlock(content, DataRva, {HighLow(4), HighLow(8)}); };
    const uint32_t firstBlockSize = sizeof(IMAGE_BASE_RELOCATION) + 2;
    const WalkCase cases[] = {
        {"at a block shorter than its header",
         [&](auto& content) {
             first(content);
             content.PutValue(IMAGE_BASE_RELOCATION{DataRva, 4});
             rest(content);
         },
         std::nullopt},
        {"at a block for page 0",
         [&](auto& content) {
             first(content);
             PutRelocationBlock(content, 0, {HighLow(4)});
             rest(content);
         },
         std::nullopt},
        {"at the end of the directory",
         [&](auto& content) {
             first(content);
             rest(content);
         },
         firstBlockSize},
        {"inside a block that the directory cuts short",
         [](auto& content) { PutRelocationBlock(content, DataRva, {HighLow(0), HighLow(4), HighLow(8)}); },
         firstBlockSize},
    };
    for (const auto& walk : cases) {
        SimulatedPlatform platform(Pe32Placement);
        const auto mapped =
            MapBytes<Pe32>(platform, RelocatedDll<Pe32>({0x10001000, 0x10002000, 0x10003000}, walk.put, walk.directorySize));
        ASSERT_NE(mapped.base, 0u) << walk.name;
        EXPECT_EQ(Words(mapped, 3), (std::vector<uint32_t>{0x20001000, 0x10002000, 0x10003000})) << walk.name;
    }
}

// Blocks that the directory names but the mapping does not hold would leave the image
// unrelocated away from its base.
TEST(MapImage, RefusesRelocationsThatLieOutsideTheMapping) {
    const auto block = [](SectionContent& content) { PutRelocationBlock(content, DataRva, {HighLow(0)}); };
    for (const uint32_t directoryRva : {0x10000u, 0x2FFCu}) {  // far outside; a header across the end
        const size_t directory = sizeof(IMAGE_DOS_HEADER) + offsetof(IMAGE_NT_HEADERS32, OptionalHeader.DataDirectory) +
                                 RelocationDirectoryIndex * sizeof(IMAGE_DATA_DIRECTORY);
        const Bytes image = WithValue(RelocatedDll<Pe32>({0x10001000}, block), directory, directoryRva);
        SimulatedPlatform platform(Pe32Placement);
        EXPECT_EQ(MapBytes<Pe32>(platform, image).base, 0u) << directoryRva;
        EXPECT_EQ(platform.LiveRegions(), 0u) << directoryRva;
    }
}

TEST(MapImage, RefusesAnImageWithoutRelocationsAwayFromItsPreferredBase) {
    ImageBuilder<Pe32> builder;
    builder.AddSection(Bytes(0x10, 1));
    const Bytes image = builder.Build();
    SimulatedPlatform elsewhere(Pe32Placement);
    EXPECT_EQ(MapBytes<Pe32>(elsewhere, image).base, 0u);
    EXPECT_EQ(elsewhere.LiveRegions(), 0u);
    SimulatedPlatform preferred = GrantingPreferredBase();
    EXPECT_EQ(MapBytes<Pe32>(preferred, image).base, 0x10000000u);
}

struct ImportingImage {
    Bytes image;
    PutDirectory imports;
};

// A DLL whose only section holds the imports of the given libraries; edit may change the
// section before it is added.
template <typename Format>
ImportingImage ImportingDll(const std::vector<ImportedLibrary>& libraries,
                            const std::function<void(SectionContent&, const PutDirectory&)>& edit = {}) {
    ImageBuilder<Format> builder;
    const PutDirectory imports = AddDirectorySection(builder, ImportDirectoryIndex, [&](SectionContent& content) {
        const PutDirectory directory = PutImports<Format>(content, libraries);
        if (edit) edit(content, directory);
        return directory;
    });
    return {builder.Build(), imports};
}

// Changes descriptor index of an import directory that PutImports wrote.
void EditDescriptor(SectionContent& content, const PutDirectory& imports, size_t index,
                    const std::function<void(IMAGE_IMPORT_DESCRIPTOR&)>& change) {
    const auto at = static_cast<uint32_t>(imports.rva + index * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    auto descriptor = content.At<IMAGE_IMPORT_DESCRIPTOR>(at);
    change(descriptor);
    content.Patch(at, descriptor);
}

template <typename Format, typename Platform>
MappedImage<Format> MapImporting(Platform& platform, const ImportingImage& dll, uint64_t resolver = Resolver) {
    return MapBytes<Format>(platform, dll.image, resolver, UserValue);
}

std::vector<std::string> ResolvedNames(const SimulatedPlatform& platform) {
    std::vector<std::string> names;
    for (const auto& call : platform.ResolverCalls()) names.push_back(call.importName);
    return names;
}

template <typename Format>
class ImportBinding : public testing::Test {};

using Formats = testing::Types<Pe32, Pe32Plus>;
TYPED_TEST_SUITE(ImportBinding, Formats);

TYPED_TEST(ImportBinding, AsksTheResolverFirstAndBindsItsAnswer) {
    using Address = typename TypeParam::Address;
    SimulatedPlatform platform = GrantingPreferredBase();
    platform.AddLibraryExport("KERNEL32.dll", "Sleep");
    const ImportingImage dll = ImportingDll<TypeParam>({{"KERNEL32.dll", {"Sleep", "Beep"}}});
    const auto mapped = MapImporting<TypeParam>(platform, dll);
    ASSERT_NE(mapped.base, 0u);
    const uint32_t slots = dll.imports.thunkRvas[0];
    EXPECT_EQ(At<Address>(mapped, slots), platform.ResolverAddress("KERNEL32.dll", "Sleep"));
    EXPECT_EQ(At<Address>(mapped, slots + sizeof(Address)), platform.ResolverAddress("KERNEL32.dll", "Beep"));
    ASSERT_EQ(platform.ResolverCalls().size(), 2u);
    const ResolverCall& call = platform.ResolverCalls()[0];
    EXPECT_EQ(call.resolver, Resolver);
    EXPECT_EQ(call.dllName, "KERNEL32.dll");
    EXPECT_EQ(call.importName, "Sleep");
    EXPECT_EQ(call.userValue, UserValue);
    // GetProcAddress would know Sleep, but is not asked once the resolver has answered.
    EXPECT_TRUE(platform.ProcLookups().empty());
    EXPECT_TRUE(platform.Violations().empty());
}

TYPED_TEST(ImportBinding, LetsGetProcAddressDecideWhenTheResolverAnswersZero) {
    using Address = typename TypeParam::Address;
    SimulatedPlatform platform = GrantingPreferredBase();
    platform.AddLibraryExport("KERNEL32.dll", "Sleep");
    platform.SetResolverAnswers(false);
    const ImportingImage dll = ImportingDll<TypeParam>({{"KERNEL32.dll", {"Sleep"}}});
    const auto mapped = MapImporting<TypeParam>(platform, dll);
    ASSERT_NE(mapped.base, 0u);
    EXPECT_EQ(At<Address>(mapped, dll.imports.thunkRvas[0]), platform.ExportAddress("KERNEL32.dll", "Sleep"));
    EXPECT_EQ(ResolvedNames(platform), std::vector<std::string>{"Sleep"});
    EXPECT_EQ(platform.ProcLookups(), std::vector<std::string>{"kernel32.dll!Sleep"});
}

TYPED_TEST(ImportBinding, PassesAnOrdinalAsDecimalTextToTheResolverAndAsTheNumberToGetProcAddress) {
    using Address = typename TypeParam::Address;
    SimulatedPlatform platform = GrantingPreferredBase();
    platform.AddLibraryExport("ORDINALS.dll", uint16_t{12});
    platform.AddLibraryExport("ORDINALS.dll", "Named");
    platform.SetResolverAnswers(false);
    const ImportingImage dll = ImportingDll<TypeParam>({{"ORDINALS.dll", {uint16_t{12}, "Named"}}});
    const auto mapped = MapImporting<TypeParam>(platform, dll);
    ASSERT_NE(mapped.base, 0u);
    EXPECT_EQ(ResolvedNames(platform), (std::vector<std::string>{"12", "Named"}));
    EXPECT_EQ(platform.ProcLookups(), (std::vector<std::string>{"ordinals.dll!#12", "ordinals.dll!Named"}));
    const uint32_t slots = dll.imports.thunkRvas[0];
    EXPECT_EQ(At<Address>(mapped, slots), platform.ExportAddress("ORDINALS.dll", uint16_t{12}));
    EXPECT_EQ(At<Address>(mapped, slots + sizeof(Address)), platform.ExportAddress("ORDINALS.dll", "Named"));
}

TYPED_TEST(ImportBinding, LoadsEachLibraryOnceBeforeItsThunks) {
    RecordingPlatform platform(Pe32Placement);
    platform.AllowPreferredBase(true);
    const ImportingImage dll = ImportingDll<TypeParam>({{"A.dll", {"One", "Two"}}, {"B.dll", {"Three"}}});
    ASSERT_NE(MapImporting<TypeParam>(platform, dll).base, 0u);
    // The resolver answers every import, and still each library is loaded.
    EXPECT_EQ(platform.importSteps, (std::vector<std::string>{"load A.dll", "resolve One", "resolve Two", "load B.dll",
                                                              "resolve Three"}));
}

TYPED_TEST(ImportBinding, EndsTheDescriptorsAtTheFirstWithoutFirstThunkWhateverItsName) {
    // B keeps its name; C, behind it inside the directory, is never reached.
    const ImportingImage dll = ImportingDll<TypeParam>(
        {{"A.dll", {"One"}}, {"B.dll", {"Two"}}, {"C.dll", {"Three"}}}, [](auto& content, const auto& imports) {
            EditDescriptor(content, imports, 1, [](auto& descriptor) { descriptor.FirstThunk = 0; });
        });
    SimulatedPlatform platform = GrantingPreferredBase();
    ASSERT_NE(MapImporting<TypeParam>(platform, dll).base, 0u);
    EXPECT_EQ(platform.LoadedLibraries(), std::vector<std::string>{"A.dll"});
    EXPECT_EQ(ResolvedNames(platform), std::vector<std::string>{"One"});
}

TYPED_TEST(ImportBinding, ReadsTheImportsFromFirstThunkWhateverOriginalFirstThunkHolds) {
    // OriginalFirstThunk 0, then OriginalFirstThunk naming the thunks of the other library.
    for (const bool zero : {true, false}) {
        const ImportingImage dll = ImportingDll<TypeParam>(
            {{"A.dll", {"One", "Two"}}, {"B.dll", {"Three"}}}, [zero](auto& content, const auto& imports) {
                EditDescriptor(content, imports, 0, [&](auto& descriptor) {
                    descriptor.OriginalFirstThunk = zero ? 0 : imports.thunkRvas[1];
                });
            });
        SimulatedPlatform platform = GrantingPreferredBase();
        ASSERT_NE(MapImporting<TypeParam>(platform, dll).base, 0u) << zero;
        EXPECT_EQ(ResolvedNames(platform), (std::vector<std::string>{"One", "Two", "Three"})) << zero;
    }
}

TYPED_TEST(ImportBinding, RefusesAnImportThatNobodyResolvesAndReleasesTheMapping) {
    // Without a resolver, and with one that answers 0.
    for (const uint64_t resolver : {uint64_t{0}, Resolver}) {
        SimulatedPlatform platform = GrantingPreferredBase();
        platform.SetResolverAnswers(false);
        platform.AddLibraryExport("A.dll", "One");
        const ImportingImage dll = ImportingDll<TypeParam>({{"A.dll", {"One", "Missing"}}, {"B.dll", {"Two"}}});
        EXPECT_EQ(MapImporting<TypeParam>(platform, dll, resolver).base, 0u) << resolver;
        EXPECT_EQ(platform.LiveRegions(), 0u) << resolver;
        // Binding stops at the first import left unresolved.
        EXPECT_EQ(platform.LoadedLibraries(), std::vector<std::string>{"A.dll"}) << resolver;
    }
}

PutDirectory OneImport(SectionContent& content) { return PutImports<Pe32>(content, {{"A.dll", {"One"}}}); }

// The parts of a complete PE32 DLL: code at DataRva that begins with a word the relocation
// block moves, entered at DataRva + 4, then a relocation section, and the imports last, where
// their section ends the mapping at 0x4000.
struct DllParts {
    uint32_t relocationPage = DataRva;
    std::vector<uint16_t> relocationEntries = {HighLow(0)};
    std::function<PutDirectory(SectionContent&)> putImports = OneImport;
};

constexpr uint32_t CompleteDllSize = 0x4000;

struct CraftedDll {
    ImageBuilder<Pe32> builder;
    PutDirectory imports;
};

CraftedDll CompleteDll(const DllParts& parts = {}) {
    CraftedDll dll;
    SectionContent code(dll.builder.NextSectionRva());
    code.PutValue(uint32_t{0x10000000 + DataRva});
    code.Put(Bytes(0xFC, 0xC3).data(), 0xFC);
    dll.builder.AddSection(code);
    dll.builder.Nt().OptionalHeader.AddressOfEntryPoint = DataRva + 4;
    AddDirectorySection(dll.builder, RelocationDirectoryIndex, [&](SectionContent& content) {
        return PutRelocationDirectory(content, parts.relocationPage, parts.relocationEntries);
    });
    dll.imports = AddDirectorySection(dll.builder, ImportDirectoryIndex, parts.putImports);
    return dll;
}

TEST(MapImage, EntersADllWithTheAttachReason) {
    SimulatedPlatform platform(Pe32Placement);
    const auto mapped = MapBytes<Pe32>(platform, CompleteDll().builder.Build(), Resolver);
    ASSERT_EQ(mapped.base, Pe32Placement);
    EXPECT_EQ(platform.EntryCalls(), (std::vector<EntryCall>{{Pe32Placement + DataRva + 4, ProcessAttach}}));
    EXPECT_EQ(platform.LiveRegions(), 1u);
}

TEST(MapImage, TellsADllThatRefusesToAttachToDetachAndReleasesIt) {
    SimulatedPlatform platform(Pe32Placement);
    platform.SetEntryResult(0);
    EXPECT_EQ(MapBytes<Pe32>(platform, CompleteDll().builder.Build(), Resolver).base, 0u);
    const uint64_t entry = Pe32Placement + DataRva + 4;
    EXPECT_EQ(platform.EntryCalls(), (std::vector<EntryCall>{{entry, ProcessAttach}, {entry, ProcessDetach}}));
    EXPECT_EQ(platform.LiveRegions(), 0u);
    // Both calls reached code inside the mapping: it was released after them.
    EXPECT_TRUE(platform.Violations().empty());
}

TEST(MapImage, MapsRelocatesAndBindsAnExecutableButDoesNotEnterIt) {
    CraftedDll program = CompleteDll();
    program.builder.Nt().FileHeader.Characteristics = ExecutableImageFlag;
    SimulatedPlatform platform(Pe32Placement);
    const auto mapped = MapBytes<Pe32>(platform, program.builder.Build(), Resolver);
    ASSERT_EQ(mapped.base, Pe32Placement);
    EXPECT_EQ(At<uint32_t>(mapped, DataRva), Pe32Placement + DataRva);
    EXPECT_EQ(At<uint32_t>(mapped, program.imports.thunkRvas[0]), platform.ResolverAddress("A.dll", "One"));
    EXPECT_TRUE(platform.EntryCalls().empty());
}

TEST(MapImage, DoesNotEnterADllWithoutAnEntryPoint) {
    CraftedDll dll = CompleteDll();
    dll.builder.Nt().OptionalHeader.AddressOfEntryPoint = 0;
    SimulatedPlatform platform(Pe32Placement);
    EXPECT_EQ(MapBytes<Pe32>(platform, dll.builder.Build(), Resolver).base, Pe32Placement);
    EXPECT_TRUE(platform.EntryCalls().empty());
}

// Images that differ from a complete DLL in one thing, or headers alone.

Bytes Complete(const DllParts& parts = {}) { return CompleteDll(parts).builder.Build(); }

Bytes Changed(const std::function<void(ImageBuilder<Pe32>&)>& change) {
    CraftedDll dll = CompleteDll();
    change(dll.builder);
    return dll.builder.Build();
}

// The last section's raw data end beyondEnd bytes behind the end of the array.
Bytes RawDataReaching(int64_t beyondEnd) {
    CraftedDll dll = CompleteDll();
    const auto length = static_cast<int64_t>(dll.builder.Build().size());
    auto& last = dll.builder.Section(2);
    last.SizeOfRawData = static_cast<uint32_t>(length - last.PointerToRawData + beyondEnd);
    return dll.builder.Build();
}

Bytes HeadersOnly(uint32_t sizeOfImage) {
    ImageBuilder<Pe32> builder;
    builder.Nt().OptionalHeader.SizeOfImage = sizeOfImage;
    return builder.Build();
}

// Headers alone with a table of count zeroed section headers, all inside the array and the image.
Bytes WithSectionCount(uint16_t count) {
    const size_t tableEnd = Pe32HeadersLength + count * sizeof(IMAGE_SECTION_HEADER);
    ImageBuilder<Pe32> builder;
    builder.Nt().FileHeader.NumberOfSections = count;
    builder.Nt().OptionalHeader.SizeOfImage = static_cast<uint32_t>(AlignUp(tableEnd, PageSize));
    Bytes image = builder.Build();
    image.resize(tableEnd);
    return image;
}

// Fills the section until bytesLeft bytes remain to the end of its page.
void FillPage(SectionContent& content, uint32_t bytesLeft, uint8_t value) {
    while ((content.Rva() + bytesLeft) % PageSize != 0) content.PutValue(value);
}

// One import whose name, or whose DLL's name, runs up to the end of the mapping unterminated.
PutDirectory NameRunningOffTheEnd(SectionContent& content, bool importName) {
    const PutDirectory imports = OneImport(content);
    FillPage(content, 0, 'A');
    const uint32_t end = content.Rva();
    if (importName) {
        content.Patch(imports.thunkRvas[0], uint32_t{end - 4});  // the hint, then "AA"
    } else {
        EditDescriptor(content, imports, 0, [&](auto& descriptor) { descriptor.Name = end - 2; });
    }
    return imports;
}

// One import whose thunk array fills the last 8 bytes of the mapping, with or without its ending 0.
PutDirectory ThunksAtTheEnd(SectionContent& content, bool terminated) {
    const PutDirectory imports = OneImport(content);
    const auto nameThunk = content.At<uint32_t>(imports.thunkRvas[0]);
    FillPage(content, 8, 0);
    const uint32_t thunks = content.PutValue(nameThunk);
    content.PutValue(terminated ? uint32_t{0} : nameThunk);
    EditDescriptor(content, imports, 0, [&](auto& descriptor) { descriptor.FirstThunk = thunks; });
    return imports;
}

// Refused from the headers: before any memory is asked for. Refused later: after the memory
// was asked for, with nothing left allocated.
enum class Outcome { Mapped, RefusedFromHeaders, RefusedLater };

struct ImageCase {
    const char* name;
    std::function<Bytes()> image;
    Outcome outcome;
};

class MapImageCase : public testing::TestWithParam<ImageCase> {};

TEST_P(MapImageCase, MapsOrRefusesLeavingNothingAllocated) {
    RecordingPlatform platform(Pe32Placement);
    platform.AllowPreferredBase(true);
    const Outcome outcome = GetParam().outcome;
    const auto mapped = MapBytes<Pe32>(platform, GetParam().image(), Resolver, UserValue);
    EXPECT_EQ(mapped.base != 0, outcome == Outcome::Mapped);
    EXPECT_EQ(platform.LiveRegions(), outcome == Outcome::Mapped ? 1u : 0u);
    EXPECT_EQ(platform.requestedSizes.empty(), outcome == Outcome::RefusedFromHeaders);
    EXPECT_TRUE(platform.Violations().empty());
}

const ImageCase imageCases[] = {
    {"CompleteDll", [] { return Complete(); }, Outcome::Mapped},
    {"NegativeLfanew",
     [] { return WithValue(Complete(), offsetof(IMAGE_DOS_HEADER, e_lfanew), uint32_t{0x80000000}); },
     Outcome::RefusedFromHeaders},
    {"SectionCount0x7FFF", [] { return WithSectionCount(0x7FFF); }, Outcome::Mapped},
    {"SectionCount0x8000", [] { return WithSectionCount(0x8000); }, Outcome::RefusedFromHeaders},
    {"SectionAlignment0",
     [] { return Changed([](auto& image) { image.Nt().OptionalHeader.SectionAlignment = 0; }); },
     Outcome::RefusedFromHeaders},
    {"RawDataEndingAtTheEndOfTheArray", [] { return RawDataReaching(0); }, Outcome::Mapped},
    {"RawDataOneBytePastTheArray", [] { return RawDataReaching(1); }, Outcome::RefusedFromHeaders},
    {"RawDataOffsetThatWrapsIn32Bits",
     [] {
         const size_t importSection = Pe32HeadersLength + 2 * sizeof(IMAGE_SECTION_HEADER);
         return WithValue(Complete(), importSection + offsetof(IMAGE_SECTION_HEADER, PointerToRawData), uint32_t{0xFFFFFFF0});
     },
     Outcome::RefusedFromHeaders},
    {"SectionEndBeyond32Bits",
     [] {
         return Changed([](auto& image) {
             image.AddSection(Bytes{}, 0x2000);
             image.Section(3).VirtualAddress = 0xFFFFF000;
         });
     },
     Outcome::RefusedFromHeaders},
    {"SectionEndAt2GB",
     [] {
         return Changed([](auto& image) {
             image.AddSection(Bytes{}, 0x1000);
             image.Section(3).VirtualAddress = 0x7FFFF000;
         });
     },
     Outcome::RefusedFromHeaders},
    {"SizeOfImageOf2GB",
     [] { return Changed([](auto& image) { image.Nt().OptionalHeader.SizeOfImage = 0x80000000; }); },
     Outcome::RefusedFromHeaders},
    // Asked for; the simulated platform has no such memory.
    {"SizeOfImageJustBelow2GB",
     [] { return Changed([](auto& image) { image.Nt().OptionalHeader.SizeOfImage = 0x7FFFFFFF; }); },
     Outcome::RefusedLater},
    {"SizeOfImage0WithoutSections", [] { return HeadersOnly(0); }, Outcome::RefusedFromHeaders},
    {"SizeOfImageBelowTheHeaders", [] { return HeadersOnly(Pe32HeadersLength - 1); }, Outcome::RefusedFromHeaders},
    {"SizeOfImageOfTheHeadersAlone", [] { return HeadersOnly(Pe32HeadersLength); }, Outcome::Mapped},
    {"EntryPointOnTheLastByte",
     [] { return Changed([](auto& image) { image.Nt().OptionalHeader.AddressOfEntryPoint = CompleteDllSize - 1; }); },
     Outcome::Mapped},
    {"EntryPointAtTheEndOfTheMapping",
     [] { return Changed([](auto& image) { image.Nt().OptionalHeader.AddressOfEntryPoint = CompleteDllSize; }); },
     Outcome::RefusedFromHeaders},
    {"RelocationTargetEndingAtTheEnd",
     [] { return Complete({.relocationPage = 0x3000, .relocationEntries = {HighLow(0xFFC)}}); }, Outcome::Mapped},
    {"RelocationTargetCrossingTheEnd",
     [] { return Complete({.relocationPage = 0x3000, .relocationEntries = {HighLow(0xFFE)}}); }, Outcome::RefusedLater},
    {"RelocationTargetOutsideTheMapping", [] { return Complete({.relocationPage = 0x10000}); }, Outcome::RefusedLater},
    {"ImportDirectoryOutsideTheMapping",
     [] {
         return Changed(
             [](auto& image) { image.Nt().OptionalHeader.DataDirectory[ImportDirectoryIndex].VirtualAddress = 0x10000; });
     },
     Outcome::RefusedLater},
    {"ImportDescriptorsNotEndedInsideTheDirectory",
     [] {
         return Changed([](auto& image) {
             image.Nt().OptionalHeader.DataDirectory[ImportDirectoryIndex].Size = sizeof(IMAGE_IMPORT_DESCRIPTOR);
         });
     },
     Outcome::RefusedLater},
    {"ImportNameRunningOffTheMapping",
     [] { return Complete({.putImports = [](auto& content) { return NameRunningOffTheEnd(content, true); }}); },
     Outcome::RefusedLater},
    {"DllNameRunningOffTheMapping",
     [] { return Complete({.putImports = [](auto& content) { return NameRunningOffTheEnd(content, false); }}); },
     Outcome::RefusedLater},
    {"ThunksEndedAtTheEndOfTheMapping",
     [] { return Complete({.putImports = [](auto& content) { return ThunksAtTheEnd(content, true); }}); },
     Outcome::Mapped},
    {"ThunksRunningOffTheMapping",
     [] { return Complete({.putImports = [](auto& content) { return ThunksAtTheEnd(content, false); }}); },
     Outcome::RefusedLater},
};

INSTANTIATE_TEST_SUITE_P(Table, MapImageCase, testing::ValuesIn(imageCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace loader_test
