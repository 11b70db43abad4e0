// BasicMemoryDll over the simulated platform on crafted DLLs: loading, unloading, copies that
// share one mapping, and the order of the operations in the object's virtual table.
#include "TestImages.h"

#include "loader/BasicMemoryDll.h"
#include "loader/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace loader_test {
namespace {

using namespace loader;

using Dll = BasicMemoryDll<Pe32, SimulatedPlatform>;

constexpr uint64_t Placement = 0x30000000;
constexpr uint32_t EntryRva = CodeRva + 0x10;
constexpr uint32_t OtherEntryRva = CodeRva + 0x20;
constexpr uint32_t AnswerRva = CodeRva + 0x40;

// A DLL that exports "Answer" and is entered at entryRva.
Bytes AnswerDll(uint32_t entryRva = EntryRva) {
    ExportPlan plan;
    plan.functions = {AnswerRva};
    plan.names = {{"Answer", 0}};
    return ExportingDll<Pe32>(plan, entryRva).Build();
}

bool Load(Dll& dll, const Bytes& image) { return dll.Load(image.data(), image.size()); }

std::vector<EntryCall> AttachAndDetach(uint32_t entryRva) {
    return {{Placement + entryRva, ProcessAttach}, {Placement + entryRva, ProcessDetach}};
}

TEST(MemoryDll, FreesANewObjectWithoutCallingAnything) {
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    EXPECT_TRUE(dll.Free());
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(dll.GetEntryPoint(), 0u);
    EXPECT_EQ(dll.GetProc("Answer"), 0u);
    EXPECT_TRUE(platform.EntryCalls().empty());
    EXPECT_TRUE(platform.LoadedLibraries().empty());
    EXPECT_EQ(platform.LiveRegions(), 0u);
}

TEST(MemoryDll, LoadsAValidDll) {
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    ASSERT_TRUE(Load(dll, AnswerDll()));
    EXPECT_EQ(dll.GetBase(), Placement);
    EXPECT_EQ(dll.GetEntryPoint(), Placement + EntryRva);
    EXPECT_EQ(dll.GetProc("Answer"), Placement + AnswerRva);
    EXPECT_EQ(platform.EntryCalls(), (std::vector<EntryCall>{{Placement + EntryRva, ProcessAttach}}));
    EXPECT_EQ(platform.LiveRegions(), 1u);
}

TEST(MemoryDll, RefusesAnInvalidArrayAndHoldsNothing) {
    const Bytes valid = AnswerDll();
    const Bytes invalid[] = {Bytes{}, Bytes(valid.begin(), valid.begin() + 0x100), Bytes(0x1000, 0x5A)};
    for (const Bytes& image : invalid) {
        SimulatedPlatform platform(Placement);
        Dll dll(platform);
        EXPECT_FALSE(Load(dll, image)) << image.size();
        EXPECT_EQ(dll.GetBase(), 0u);
        EXPECT_EQ(dll.GetEntryPoint(), 0u);
        EXPECT_EQ(platform.LiveRegions(), 0u);
    }
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    EXPECT_FALSE(dll.Load(nullptr, valid.size()));
    EXPECT_EQ(dll.GetBase(), 0u);
}

TEST(MemoryDll, UnloadsTheHeldImageBeforeMappingTheNextOne) {
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    ASSERT_TRUE(Load(dll, AnswerDll(EntryRva)));
    ASSERT_TRUE(Load(dll, AnswerDll(OtherEntryRva)));
    // The new image took the old one's place: that was released before the new one was mapped.
    EXPECT_EQ(dll.GetBase(), Placement);
    EXPECT_EQ(dll.GetEntryPoint(), Placement + OtherEntryRva);
    EXPECT_EQ(platform.LiveRegions(), 1u);
    std::vector<EntryCall> calls = AttachAndDetach(EntryRva);
    calls.push_back({Placement + OtherEntryRva, ProcessAttach});
    EXPECT_EQ(platform.EntryCalls(), calls);

    // Also when the next array is refused.
    EXPECT_FALSE(Load(dll, Bytes(64, 0)));
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(platform.LiveRegions(), 0u);
    EXPECT_EQ(platform.EntryCalls().back(), (EntryCall{Placement + OtherEntryRva, ProcessDetach}));
}

TEST(MemoryDll, GivesNothingAfterFreeAndHasDetachedTheImage) {
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    ASSERT_TRUE(Load(dll, AnswerDll()));
    EXPECT_TRUE(dll.Free());
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(dll.GetEntryPoint(), 0u);
    EXPECT_EQ(dll.GetProc("Answer"), 0u);
    EXPECT_EQ(platform.EntryCalls(), AttachAndDetach(EntryRva));
    EXPECT_EQ(platform.LiveRegions(), 0u);
    EXPECT_TRUE(dll.Free());
    EXPECT_EQ(platform.EntryCalls().size(), 2u);
}

TEST(MemoryDll, KeepsAnImageWhoseHeadersHaveLostTheirSignatures) {
    // The first byte of e_magic, then of Signature.
    for (const size_t offset : {size_t{0}, sizeof(IMAGE_DOS_HEADER)}) {
        SimulatedPlatform platform(Placement);
        Dll dll(platform);
        ASSERT_TRUE(Load(dll, AnswerDll()));
        uint8_t* headers = platform.RegionBytes(dll.GetBase());
        ASSERT_NE(headers, nullptr);
        const uint8_t signature = headers[offset];
        headers[offset] = 0;
        EXPECT_FALSE(dll.Free()) << offset;
        EXPECT_EQ(dll.GetBase(), Placement) << offset;
        EXPECT_EQ(platform.EntryCalls().size(), 1u) << offset;
        EXPECT_EQ(platform.LiveRegions(), 1u) << offset;
        // Still held: with its signature back it unloads.
        headers[offset] = signature;
        EXPECT_TRUE(dll.Free());
        EXPECT_EQ(platform.LiveRegions(), 0u);
    }
}

// Either holder may let go first; the image is detached and released once, by the last.
TEST(MemoryDll, UnloadsASharedImageOnceWhenItsLastHolderFreesIt) {
    for (const bool originalFirst : {true, false}) {
        SimulatedPlatform platform(Placement);
        Dll original(platform);
        ASSERT_TRUE(Load(original, AnswerDll()));
        const std::unique_ptr<Dll> copy = original.Copy();
        EXPECT_EQ(copy->GetBase(), Placement);
        Dll& first = originalFirst ? original : *copy;
        Dll& last = originalFirst ? *copy : original;

        EXPECT_TRUE(first.Free()) << originalFirst;
        EXPECT_EQ(first.GetBase(), 0u) << originalFirst;
        EXPECT_EQ(platform.EntryCalls().size(), 1u) << originalFirst;
        EXPECT_EQ(platform.LiveRegions(), 1u) << originalFirst;
        EXPECT_EQ(last.GetProc("Answer"), Placement + AnswerRva) << originalFirst;

        EXPECT_TRUE(last.Free()) << originalFirst;
        EXPECT_TRUE(first.Free()) << originalFirst;
        EXPECT_EQ(platform.EntryCalls(), AttachAndDetach(EntryRva)) << originalFirst;
        EXPECT_EQ(platform.LiveRegions(), 0u) << originalFirst;
    }
}

TEST(MemoryDll, DestroyUnloadsTheImageOnce) {
    SimulatedPlatform platform(Placement);
    std::unique_ptr<Dll> copy;
    {
        Dll dll(platform);
        ASSERT_TRUE(Load(dll, AnswerDll()));
        dll.Destroy();
        EXPECT_EQ(dll.GetBase(), 0u);
        EXPECT_EQ(platform.EntryCalls(), AttachAndDetach(EntryRva));
        EXPECT_EQ(platform.LiveRegions(), 0u);

        ASSERT_TRUE(Load(dll, AnswerDll(OtherEntryRva)));
        copy = dll.Copy();
    }
    // The original went away holding the image with a copy: the copy unloads it.
    EXPECT_EQ(platform.EntryCalls().size(), 3u);
    EXPECT_EQ(platform.LiveRegions(), 1u);
    copy->Destroy();
    EXPECT_EQ(platform.EntryCalls().back(), (EntryCall{Placement + OtherEntryRva, ProcessDetach}));
    EXPECT_EQ(platform.LiveRegions(), 0u);
}

using Address = Dll::Address;

// Under the Itanium C++ ABI of both our compilers an object with virtual functions starts with
// the address of its table, and a slot is called as a function whose first argument is the
// object: on x86-64 a plain one, on i686 a thiscall one (the object in ECX).
#if defined(__i386__)
#define TABLE_CALL __thiscall
#else
#define TABLE_CALL
#endif

template <typename Function>
Function TableSlot(const Dll& dll, size_t slot) {
    const uintptr_t* table = nullptr;
    std::memcpy(&table, static_cast<const void*>(&dll), sizeof(table));
    return reinterpret_cast<Function>(table[slot]);
}

// An Itanium pointer to a virtual member function holds 1 + the byte offset of its slot.
template <typename Member>
size_t VirtualSlotOf(Member member) {
    struct {
        uintptr_t function;
        ptrdiff_t adjustment;
    } pointer;
    static_assert(sizeof(pointer) == sizeof(member));
    std::memcpy(&pointer, &member, sizeof(pointer));
    return (pointer.function - 1) / sizeof(uintptr_t);
}

TEST(MemoryDll, KeepsItsOperationsInTheTableInTheirFixedOrder) {
    SimulatedPlatform platform(Placement);
    Dll dll(platform);
    const Bytes image = AnswerDll();
    const auto load = TableSlot<bool (TABLE_CALL*)(Dll*, const void*, size_t, Address, Address)>(dll, 2);
    ASSERT_TRUE(load(&dll, image.data(), image.size(), 0, 0));
    EXPECT_EQ(TableSlot<Address (TABLE_CALL*)(const Dll*)>(dll, 6)(&dll), Placement);
    EXPECT_EQ(TableSlot<Address (TABLE_CALL*)(const Dll*)>(dll, 5)(&dll), Placement + EntryRva);
    EXPECT_EQ(TableSlot<Address (TABLE_CALL*)(const Dll*, const char*)>(dll, 4)(&dll, "Answer"), Placement + AnswerRva);
    EXPECT_TRUE(TableSlot<bool (TABLE_CALL*)(Dll*)>(dll, 3)(&dll));
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(platform.EntryCalls(), AttachAndDetach(EntryRva));

    ASSERT_TRUE(load(&dll, image.data(), image.size(), 0, 0));
    TableSlot<void (TABLE_CALL*)(Dll*)>(dll, 0)(&dll);
    EXPECT_EQ(dll.GetBase(), 0u);
    EXPECT_EQ(platform.LiveRegions(), 0u);
    // Copy returns its object through memory that the caller passes in, which the two ABIs pass
    // differently; its slot is read from the pointer to it instead.
    EXPECT_EQ(VirtualSlotOf(&Dll::Copy), 1u);
}

}  // namespace
}  // namespace loader_test
