// The fixtures of this process's own format mapped for real into it: relocated data, imports bound through
// the resolver and through the system, exports by name, ordinal, alias and forwarder, entry
// calls, refused images leaving no memory behind, copies, and CallAddress.
#include "PreferredRangeTaken.h"
#include "TestImages.h"

#include "loader/MemoryDll.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace loader_test {
namespace {

using loader::MemoryDll;
using loader::NativeFormat;

const std::string Arch = LOADER_OWN_ARCH;

// What the fixtures' entry points reported, in order; the images call it without a user value.
std::vector<unsigned long> entryReasons;

void RecordEntryReason(unsigned long reason) { entryReasons.push_back(reason); }

struct ResolverAsk {
    uintptr_t dllNameAddress;
    std::string dll;
    std::string name;

    bool operator==(const ResolverAsk&) const = default;
};

// The resolver answers only the host's one export and records every question.
uintptr_t Resolve(const char* dll, const char* name, uintptr_t user) {
    reinterpret_cast<std::vector<ResolverAsk>*>(user)->push_back({reinterpret_cast<uintptr_t>(dll), dll, name});
    if (std::strcmp(dll, "LoaderFixtureHost.dll") == 0 && std::strcmp(name, "RecordEntryReason") == 0) {
        return reinterpret_cast<uintptr_t>(&RecordEntryReason);
    }
    return 0;
}

template <typename Function>
Function* As(uint64_t address) {
    return reinterpret_cast<Function*>(static_cast<uintptr_t>(address));
}

bool IsFree(uint64_t address) {
    MEMORY_BASIC_INFORMATION info{};
    return VirtualQuery(As<void>(address), &info, sizeof(info)) == sizeof(info) && info.State == MEM_FREE;
}

// Private read-write-execute regions are what the loader allocates; the system maps DLLs as images.
std::set<uintptr_t> ExecutablePrivateRegions() {
    std::set<uintptr_t> regions;
    MEMORY_BASIC_INFORMATION info{};
    for (auto* at = static_cast<uint8_t*>(nullptr); VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
         at = static_cast<uint8_t*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE && info.Protect == PAGE_EXECUTE_READWRITE) {
            regions.insert(reinterpret_cast<uintptr_t>(info.BaseAddress));
        }
    }
    return regions;
}

// The fixtures import LoaderFixtureOrdinals.dll, which the system's loader finds in their folder.
class Win32Fixture : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetDllDirectoryA((std::string(LOADER_FIXTURE_DIR) + "/" + Arch).c_str()));
        entryReasons.clear();
    }
    void TearDown() override { SetDllDirectoryA(nullptr); }

    // Reads the fixture and loads it with the recording resolver, away from its preferred base.
    bool LoadAway(MemoryDll& dll, const std::string& name) {
        file_ = ReadFixture(Arch, name);
        if (file_.empty()) return false;
        layout_ = ReadLayout<NativeFormat>(file_);
        const PreferredRangeTaken taken(file_.data(), file_.size());
        return dll.Load(file_.data(), file_.size(), reinterpret_cast<uintptr_t>(&Resolve),
                        reinterpret_cast<uintptr_t>(&asks_));
    }

    Bytes file_;
    ImageLayout layout_;
    std::vector<ResolverAsk> asks_;
};

struct FixtureFile {
    const char* name;
    bool withoutOriginalThunks;
};

// The same checks on the linker's image and on its copy whose imports exist only in FirstThunk.
class Win32FixtureImage : public Win32Fixture, public testing::WithParamInterface<FixtureFile> {
protected:
    void SetUp() override {
        Win32Fixture::SetUp();
        ASSERT_TRUE(LoadAway(dll_, GetParam().name));
        ASSERT_NE(dll_.GetBase(), layout_.imageBase);
        const auto& originals = layout_.originalFirstThunks;
        ASSERT_EQ(std::count(originals.begin(), originals.end(), 0u) == std::ssize(originals),
                  GetParam().withoutOriginalThunks);
    }

    uint64_t Export(const char* name) const { return dll_.GetProc(name); }

    MemoryDll dll_;
};

// What a thunk should hold: the resolver's answer for the host, the system's export otherwise.
uintptr_t BoundAddress(const ImportThunk& thunk) {
    if (thunk.dllName == "LoaderFixtureHost.dll") return reinterpret_cast<uintptr_t>(&RecordEntryReason);
    const HMODULE module = GetModuleHandleA(thunk.dllName.c_str());
    const char* lookup = thunk.byOrdinal ? MAKEINTRESOURCEA(std::stoi(thunk.importName)) : thunk.importName.c_str();
    return reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(GetProcAddress(module, lookup)));
}

TEST_P(Win32FixtureImage, RelocatesPointersToTheMappedData) {
    auto* const* pointers = As<int* const>(Export("PointerTable"));
    const int* values = As<const int>(Export("Values"));
    ASSERT_NE(pointers, nullptr);
    ASSERT_NE(values, nullptr);
    const int expected[] = {11, 22, 33, 44};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(pointers[i], values + i);
        EXPECT_EQ(*pointers[i], expected[i]);
    }
    const auto* text = As<const char* const>(Export("TextPointer"));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(*text, "fixture text");
}

TEST_P(Win32FixtureImage, BindsEveryImportThroughTheResolverOrTheSystem) {
    std::vector<std::pair<std::string, std::string>> asked, imported;
    for (const auto& ask : asks_) asked.emplace_back(ask.dll, ask.name);
    for (const auto& thunk : layout_.thunks) imported.emplace_back(thunk.dllName, thunk.importName);
    EXPECT_EQ(asked, imported);
    EXPECT_NE(std::find(asked.begin(), asked.end(), std::pair<std::string, std::string>("LoaderFixtureOrdinals.dll", "7")),
              asked.end());

    for (const auto& thunk : layout_.thunks) {
        EXPECT_EQ(*As<uintptr_t>(dll_.GetBase() + thunk.slotRva), BoundAddress(thunk)) << thunk.importName;
    }

    EXPECT_EQ(As<int(int, int)>(Export("FixtureAdd"))(2, 3), 5);
    EXPECT_EQ(As<int()>(Export("FixtureTextLength"))(), 12);
    EXPECT_EQ(As<int()>(Export("FixtureOrdinalProxy"))(), 0x1234567);
}

TEST_P(Win32FixtureImage, FindsExportsByOrdinalAliasAndForwarder) {
    const uint64_t add = Export("FixtureAdd");
    ASSERT_NE(add, 0u);
    EXPECT_EQ(Export("4"), add);
    EXPECT_EQ(Export("FixtureAddAlias"), add);

    const uint64_t hidden = Export("12");
    ASSERT_NE(hidden, 0u);
    EXPECT_EQ(As<int()>(hidden)(), 0x4D1DDE);

    const auto lstrlen = GetProcAddress(GetModuleHandleA("kernel32.dll"), "lstrlenA");
    ASSERT_NE(lstrlen, nullptr);
    EXPECT_EQ(As<void>(Export("FixtureForwardedLength")), reinterpret_cast<void*>(lstrlen));
    EXPECT_EQ(Export("FixtureForwardedMissing"), 0u);

    const auto* zeros = As<const uint8_t>(Export("Zeros"));
    ASSERT_NE(zeros, nullptr);
    EXPECT_TRUE(std::all_of(zeros, zeros + 20000, [](uint8_t byte) { return byte == 0; }));
}

TEST_P(Win32FixtureImage, EntrySeesAttachThenDetachAndTheMemoryGoes) {
    const uint64_t base = dll_.GetBase();
    EXPECT_EQ(dll_.GetEntryPoint(), base + layout_.entryRva);
    EXPECT_EQ(entryReasons, std::vector<unsigned long>{1});
    ASSERT_TRUE(dll_.Free());
    EXPECT_EQ(entryReasons, (std::vector<unsigned long>{1, 0}));
    EXPECT_TRUE(IsFree(base));
}

INSTANTIATE_TEST_SUITE_P(Win32BothThunkLayouts, Win32FixtureImage,
                         testing::Values(FixtureFile{"LoaderFixture.dll", false},
                                         FixtureFile{"LoaderFixtureNoOriginalThunks.dll", true}),
                         [](const auto& info) { return std::string(info.param.name, std::strlen(info.param.name) - 4); });

TEST_F(Win32Fixture, RefusingEntryIsToldToDetachAndTheMappingGoes) {
    MemoryDll dll;
    EXPECT_FALSE(LoadAway(dll, "LoaderFixtureRefusing.dll"));
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(entryReasons, (std::vector<unsigned long>{1, 0}));
    // The DLL name the resolver was shown lies inside the mapping.
    ASSERT_FALSE(asks_.empty());
    EXPECT_TRUE(IsFree(asks_.front().dllNameAddress));
}

TEST_F(Win32Fixture, ProgramIsLinkedButNeverEntered) {
    MemoryDll dll;
    ASSERT_TRUE(LoadAway(dll, "LoaderFixtureProgram.exe"));
    EXPECT_NE(dll.GetBase(), layout_.imageBase);
    const uint64_t value = dll.GetProc("FixtureProgramValue");
    ASSERT_NE(value, 0u);
    EXPECT_EQ(As<int()>(value)(), 5);
    EXPECT_TRUE(dll.Free());
    EXPECT_EQ(entryReasons, std::vector<unsigned long>{});
}

TEST_F(Win32Fixture, WithoutResolverTheHostImportFailsAndNothingStays) {
    const Bytes file = ReadFixture(Arch, "LoaderFixture.dll");
    ASSERT_FALSE(file.empty());
    const std::set<uintptr_t> before = ExecutablePrivateRegions();
    MemoryDll dll;
    EXPECT_FALSE(dll.Load(file.data(), file.size()));
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(ExecutablePrivateRegions(), before);
    EXPECT_EQ(entryReasons, std::vector<unsigned long>{});
}

TEST_F(Win32Fixture, CopyKeepsTheImageUntilTheLastHolderFreesIt) {
    MemoryDll dll;
    ASSERT_TRUE(LoadAway(dll, "LoaderFixture.dll"));
    const uint64_t base = dll.GetBase();
    const std::unique_ptr<MemoryDll> copy = dll.Copy();
    EXPECT_EQ(copy->GetBase(), base);

    ASSERT_TRUE(dll.Free());
    ASSERT_EQ(entryReasons, std::vector<unsigned long>{1});
    ASSERT_FALSE(IsFree(base));
    EXPECT_EQ(As<int(int, int)>(copy->GetProc("FixtureAdd"))(40, 2), 42);

    ASSERT_TRUE(copy->Free());
    EXPECT_EQ(entryReasons, (std::vector<unsigned long>{1, 0}));
    EXPECT_TRUE(IsFree(base));
}

#if defined(__x86_64__)
uintptr_t ThreeWeighted(uintptr_t a, uintptr_t b, uintptr_t c) { return a + 2 * b + 3 * c; }

// Each slot has its own weight, so a slot out of place changes the result.
uintptr_t TenWeighted(uintptr_t a1, uintptr_t a2, uintptr_t a3, uintptr_t a4, uintptr_t a5, uintptr_t a6,
                      uintptr_t a7, uintptr_t a8, uintptr_t a9, uintptr_t a10) {
    return a1 + 3 * a2 + 5 * a3 + 7 * a4 + 11 * a5 + 13 * a6 + 17 * a7 + 19 * a8 + 23 * a9 + 29 * a10;
}

// Values above 32 bits show that every slot carries a whole 64-bit word, in registers and on the
// stack. The i686 thunk has a check of its own (loader/CallAddressCheck.cpp).
TEST(Win32CallAddress, PassesThreeAndTenWholeSlots) {
    constexpr uintptr_t High = uintptr_t{1} << 40;
    EXPECT_EQ(loader::CallAddress(reinterpret_cast<uintptr_t>(&ThreeWeighted), High + 1, High + 2, High + 3),
              6 * High + 14);
    EXPECT_EQ(loader::CallAddress(reinterpret_cast<uintptr_t>(&TenWeighted), High + 1, High + 2, High + 3, High + 4,
                                  High + 5, High + 6, High + 7, High + 8, High + 9, High + 10),
              128 * High + 951);
}
#endif

}  // namespace
}  // namespace loader_test
