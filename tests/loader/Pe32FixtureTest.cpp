// The i686 fixtures mapped through the simulated platform away from their preferred base and held
// against what the files say, read without the loader: relocated words, copied bytes, bound
// thunks, exports by name and ordinal, forwarders and entry calls.
#include "TestImages.h"

#include "loader/BasicMemoryDll.h"
#include "loader/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace loader_test {
namespace {

using namespace loader;

using Dll = BasicMemoryDll<Pe32, SimulatedPlatform>;

// Below every fixture's ImageBase, so that the relocation delta wraps around 2^32.
constexpr uint64_t Placement = 0x20000000;
// The simulated platform answers for any resolver address that is not 0.
constexpr uint64_t Resolver = 0x5000;
constexpr uint64_t UserValue = 0x1234;

using ImportName = std::pair<std::string, std::string>;

uint32_t FileWord(const Bytes& file, const ImageLayout& layout, uint32_t rva) {
    uint32_t word = 0;
    for (uint32_t i = 0; i < 4; ++i) word |= uint32_t{FileByteAt(file, layout, rva + i)} << (8 * i);
    return word;
}

uint32_t MappedWord(const MappedImage<Pe32>& mapping, uint32_t rva) {
    return mapping.bytes.Read<uint32_t>(rva).value_or(0xDEADBEEF);
}

bool IsForwarder(const ImageLayout& layout, uint32_t rva) {
    return rva >= layout.exportDirectory.VirtualAddress &&
           rva - layout.exportDirectory.VirtualAddress < layout.exportDirectory.Size;
}

std::vector<uint32_t> ThunkWords(const MappedImage<Pe32>& mapping, const ImageLayout& layout) {
    std::vector<uint32_t> words;
    for (const auto& thunk : layout.thunks) words.push_back(MappedWord(mapping, thunk.slotRva));
    return words;
}

class Pe32Fixture : public testing::Test {
protected:
    void Read(const std::string& name) {
        file_ = ReadFixture("i686", name);
        ASSERT_FALSE(file_.empty()) << name;
        layout_ = ReadLayout<Pe32>(file_);
    }

    MappedImage<Pe32> Map() {
        return MapImage<Pe32>(platform_, ImageBytes(file_.data(), file_.size()), Resolver, UserValue);
    }

    bool Load(Dll& dll) { return dll.Load(file_.data(), file_.size(), Resolver, UserValue); }

    // What the simulated system's GetProcAddress gives for the import, once its library offers it.
    uint64_t OfferedExport(const ImportThunk& thunk) {
        OfferImport(platform_, thunk);
        const uint64_t module = platform_.LibraryHandle(thunk.dllName);
        if (thunk.byOrdinal) return platform_.GetProcAddress(module, static_cast<uint16_t>(std::stoi(thunk.importName)));
        return platform_.GetProcAddress(module, thunk.importName.c_str());
    }

    void ExpectNothingLeft() {
        EXPECT_EQ(platform_.LiveRegions(), 0u);
        EXPECT_EQ(platform_.Violations(), std::vector<std::string>{});
    }

    SimulatedPlatform platform_{Placement};
    Bytes file_;
    ImageLayout layout_;
};

// The checks that hold for every relocated fixture, DLL or program.
class Pe32FixtureFile : public Pe32Fixture, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override { Read(GetParam()); }
};

TEST_P(Pe32FixtureFile, MapsEveryByteAsTheFileSaysWithRelocatedWordsAndBoundThunks) {
    const MappedImage<Pe32> mapping = Map();
    ASSERT_EQ(mapping.base, Placement);
    ASSERT_NE(mapping.base, layout_.imageBase);
    ASSERT_FALSE(layout_.relocationTargets.empty());
    ASSERT_FALSE(layout_.thunks.empty());
    const auto delta = static_cast<uint32_t>(mapping.base - layout_.imageBase);

    std::vector<bool> written(mapping.bytes.size());
    const auto markWord = [&](uint32_t rva) { std::fill_n(written.begin() + rva, 4, true); };
    for (uint32_t target : layout_.relocationTargets) {
        EXPECT_EQ(MappedWord(mapping, target), FileWord(file_, layout_, target) + delta) << std::hex << target;
        markWord(target);
    }
    std::vector<ImportName> imported, asked;
    for (const auto& thunk : layout_.thunks) {
        EXPECT_EQ(MappedWord(mapping, thunk.slotRva), platform_.ResolverAddress(thunk.dllName, thunk.importName))
            << thunk.importName;
        markWord(thunk.slotRva);
        imported.emplace_back(thunk.dllName, thunk.importName);
    }
    for (const auto& call : platform_.ResolverCalls()) asked.emplace_back(call.dllName, call.importName);
    EXPECT_EQ(asked, imported);

    size_t differing = 0;
    for (uint32_t rva = 0; rva < mapping.bytes.size(); ++rva) {
        if (!written[rva] && mapping.bytes.data()[rva] != FileByteAt(file_, layout_, rva)) {
            ADD_FAILURE() << "byte at RVA 0x" << std::hex << rva << " differs from the file";
            if (++differing == 5) break;
        }
    }

    EXPECT_TRUE(UnmapImage<Pe32>(platform_, mapping));
    ExpectNothingLeft();
}

TEST_P(Pe32FixtureFile, WithTheResolverAnsweringZeroBindsTheLibrariesExports) {
    platform_.SetResolverAnswers(false);
    std::vector<uint32_t> offered;
    for (const auto& thunk : layout_.thunks) offered.push_back(static_cast<uint32_t>(OfferedExport(thunk)));
    const MappedImage<Pe32> mapping = Map();
    ASSERT_NE(mapping.base, 0u);
    EXPECT_EQ(ThunkWords(mapping, layout_), offered);
    EXPECT_EQ(platform_.ResolverCalls().size(), layout_.thunks.size());
    EXPECT_TRUE(UnmapImage<Pe32>(platform_, mapping));
    ExpectNothingLeft();
}

TEST_P(Pe32FixtureFile, FindsEveryExportAtBasePlusItsRvaByNameAndByOrdinal) {
    Dll dll(platform_);
    ASSERT_TRUE(Load(dll));
    const uint64_t base = dll.GetBase();
    ASSERT_FALSE(layout_.exportIndexByName.empty());
    for (const auto& [name, index] : layout_.exportIndexByName) {
        const uint32_t rva = layout_.exportFunctions.at(index);
        if (!IsForwarder(layout_, rva)) {
            EXPECT_EQ(dll.GetProc(name.c_str()), base + rva) << name;
        }
    }
    for (uint32_t index = 0; index < layout_.exportFunctions.size(); ++index) {
        const uint32_t rva = layout_.exportFunctions[index];
        const std::string ordinal = std::to_string(layout_.exportBase + index);
        if (!IsForwarder(layout_, rva)) {
            EXPECT_EQ(dll.GetProc(ordinal.c_str()), rva == 0 ? 0 : base + rva) << ordinal;
        }
    }
    const std::string pastTheTable = std::to_string(layout_.exportBase + layout_.exportFunctions.size());
    EXPECT_EQ(dll.GetProc(pastTheTable.c_str()), 0u);
    EXPECT_EQ(dll.GetProc(std::to_string(layout_.exportBase - 1).c_str()), 0u);
    EXPECT_TRUE(dll.Free());
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Pe32Fixtures, Pe32FixtureFile,
                         testing::Values("LoaderFixture.dll", "LoaderFixtureRefusing.dll",
                                         "LoaderFixtureNoOriginalThunks.dll", "LoaderFixtureProgram.exe",
                                         "LoaderFixtureBulk.dll"),
                         [](const auto& info) {
                             const std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

TEST_F(Pe32Fixture, OrdinalImportReachesTheResolverAsDecimalText) {
    Read("LoaderFixture.dll");
    Dll dll(platform_);
    ASSERT_TRUE(Load(dll));
    std::vector<ImportName> ordinalImports;
    for (const auto& call : platform_.ResolverCalls()) {
        EXPECT_EQ(call.resolver, Resolver);
        EXPECT_EQ(call.userValue, UserValue);
        if (call.dllName == "LoaderFixtureOrdinals.dll") ordinalImports.emplace_back(call.dllName, call.importName);
    }
    EXPECT_EQ(ordinalImports, (std::vector<ImportName>{{"LoaderFixtureOrdinals.dll", "7"}}));
}

TEST_F(Pe32Fixture, WithoutOriginalThunksBindsExactlyLikeTheLinkersImage) {
    Read("LoaderFixture.dll");
    const ImageLayout linked = layout_;
    const Bytes linkedFile = file_;
    Read("LoaderFixtureNoOriginalThunks.dll");
    EXPECT_EQ(layout_.originalFirstThunks, std::vector<uint32_t>(linked.originalFirstThunks.size(), 0));
    EXPECT_EQ(std::count(linked.originalFirstThunks.begin(), linked.originalFirstThunks.end(), 0u), 0);

    for (const bool resolverAnswers : {true, false}) {
        platform_.SetResolverAnswers(resolverAnswers);
        for (const auto& thunk : layout_.thunks) OfferedExport(thunk);
        const MappedImage<Pe32> zeroed = Map();
        const MappedImage<Pe32> original =
            MapImage<Pe32>(platform_, ImageBytes(linkedFile.data(), linkedFile.size()), Resolver, UserValue);
        ASSERT_NE(zeroed.base, 0u);
        ASSERT_NE(original.base, 0u);
        EXPECT_EQ(ThunkWords(zeroed, layout_), ThunkWords(original, linked)) << "resolver answers: " << resolverAnswers;
        EXPECT_TRUE(UnmapImage<Pe32>(platform_, zeroed));
        EXPECT_TRUE(UnmapImage<Pe32>(platform_, original));
    }
    ExpectNothingLeft();
}

TEST_F(Pe32Fixture, ForwardersResolveThroughTheLibraryTheyName) {
    Read("LoaderFixture.dll");
    platform_.AddLibraryExport("kernel32", "lstrlenA");
    Dll dll(platform_);
    ASSERT_TRUE(Load(dll));
    const uint64_t lstrlen = platform_.ExportAddress("kernel32", "lstrlenA");
    EXPECT_EQ(dll.GetProc("FixtureForwardedLength"), lstrlen);
    EXPECT_EQ(dll.GetProc("5"), lstrlen);
    EXPECT_EQ(dll.GetProc("FixtureForwardedMissing"), 0u);
    EXPECT_EQ(dll.GetProc("6"), 0u);
    EXPECT_EQ(platform_.ProcLookups(),
              (std::vector<std::string>{"kernel32!lstrlenA", "kernel32!lstrlenA", "kernel32!NoSuchExportAnywhere",
                                        "kernel32!NoSuchExportAnywhere"}));
}

// The ordinals fixture has no relocations: it runs only at its ImageBase.
TEST_F(Pe32Fixture, ImageWithoutRelocationsMapsOnlyAtItsImageBase) {
    Read("LoaderFixtureOrdinals.dll");
    ASSERT_TRUE(layout_.relocationTargets.empty());
    Dll dll(platform_);
    EXPECT_FALSE(Load(dll));
    EXPECT_EQ(platform_.LiveRegions(), 0u);

    platform_.AllowPreferredBase(true);
    ASSERT_TRUE(Load(dll));
    EXPECT_EQ(dll.GetBase(), layout_.imageBase);
    EXPECT_EQ(dll.GetProc("7"), layout_.imageBase + layout_.exportFunctions.at(7 - layout_.exportBase));
    EXPECT_EQ(platform_.EntryCalls().size(), 0u);
    EXPECT_TRUE(dll.Free());
    ExpectNothingLeft();
}

// Unloading reads the mapped headers again: an image whose own sections or relocations overwrite
// them could never be told to detach or be released, so it is refused.
TEST_F(Pe32Fixture, ImageThatOverwritesItsOwnHeadersIsRefused) {
    Read("LoaderFixture.dll");
    const Bytes linked = file_;
    const uint64_t firstSection = layout_.ntOffset + sizeof(IMAGE_NT_HEADERS32);
    const uint32_t firstTarget = layout_.relocationTargets.at(0);
    const struct {
        const char* name;
        uint64_t fileOffset;
        uint32_t value;
    } cases[] = {
        {"first section at RVA 1", firstSection + offsetof(IMAGE_SECTION_HEADER, VirtualAddress), 1},
        // The block's first entry then lands on the NT signature.
        {"relocation page over the NT headers", FileOffsetOf(layout_, layout_.relocationBlocks.at(0)),
         layout_.ntOffset - (firstTarget & 0xFFF)},
    };
    for (const auto& overwrite : cases) {
        SCOPED_TRACE(overwrite.name);
        file_ = linked;
        WriteAt(file_, overwrite.fileOffset, overwrite.value);
        Dll dll(platform_);
        EXPECT_FALSE(Load(dll));
        EXPECT_EQ(platform_.EntryCalls().size(), 0u);
        ExpectNothingLeft();
    }
}

struct EntryCase {
    const char* file;
    uint64_t entryResult;
    bool loads;
    std::vector<uint32_t> reasonsAtLoad;
    std::vector<uint32_t> reasonsAtFree;
};

void PrintTo(const EntryCase& entryCase, std::ostream* out) { *out << entryCase.file; }

class Pe32FixtureEntry : public Pe32Fixture, public testing::WithParamInterface<EntryCase> {};

std::vector<uint32_t> Reasons(const SimulatedPlatform& platform, uint64_t entry) {
    std::vector<uint32_t> reasons;
    for (const auto& call : platform.EntryCalls()) {
        EXPECT_EQ(call.entry, entry);
        reasons.push_back(call.reason);
    }
    return reasons;
}

TEST_P(Pe32FixtureEntry, EntryIsCalledAsTheImageKindAndAnswerDecide) {
    const EntryCase& entryCase = GetParam();
    Read(entryCase.file);
    platform_.SetEntryResult(entryCase.entryResult);
    const uint64_t entry = Placement + layout_.entryRva;
    Dll dll(platform_);
    EXPECT_EQ(Load(dll), entryCase.loads);
    EXPECT_EQ(Reasons(platform_, entry), entryCase.reasonsAtLoad);
    EXPECT_EQ(dll.GetBase(), entryCase.loads ? Placement : 0);
    EXPECT_EQ(dll.GetEntryPoint(), entryCase.loads ? entry : 0);
    EXPECT_TRUE(dll.Free());
    EXPECT_EQ(Reasons(platform_, entry), entryCase.reasonsAtFree);
    EXPECT_EQ(dll.GetBase(), 0u);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Pe32Fixtures, Pe32FixtureEntry,
                         testing::Values(EntryCase{"LoaderFixture.dll", 1, true, {1}, {1, 0}},
                                         EntryCase{"LoaderFixtureRefusing.dll", 0, false, {1, 0}, {1, 0}},
                                         EntryCase{"LoaderFixtureProgram.exe", 1, true, {}, {}}),
                         [](const auto& info) {
                             const std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
}  // namespace loader_test
