// Header validation of images held in byte arrays: each length test passes at equality and
// fails one byte short, and the refusals that keep later reads inside the array.
#include "TestImages.h"

#include "loader/ImageHeaders.h"

#include <gtest/gtest.h>

#include <functional>

namespace loader_test {
namespace {

using namespace loader;

// The builder places the NT headers and the section table at e_lfanew.
Bytes Pe32Image(uint16_t sections, int32_t lfanew = sizeof(IMAGE_DOS_HEADER)) {
    ImageBuilder<Pe32> builder;
    builder.Dos().e_lfanew = lfanew;
    for (uint16_t i = 0; i < sections; ++i) builder.AddSection(Bytes(16, 0xAB));
    return builder.Build();
}

size_t SectionTableEnd(uint16_t sections, int32_t lfanew = sizeof(IMAGE_DOS_HEADER)) {
    return lfanew + sizeof(IMAGE_NT_HEADERS32) + sections * sizeof(IMAGE_SECTION_HEADER);
}

constexpr size_t NtAt = sizeof(IMAGE_DOS_HEADER);

struct HeaderCase {
    const char* name;
    std::function<Bytes()> image;
    bool accepted;
};

class ReadImageHeadersCase : public testing::TestWithParam<HeaderCase> {};

TEST_P(ReadImageHeadersCase, AcceptsOrRefuses) {
    const Bytes image = GetParam().image();
    EXPECT_EQ(ReadImageHeaders<Pe32>(ImageBytes(image.data(), image.size())).has_value(), GetParam().accepted);
}

Bytes Truncated(Bytes image, size_t length) {
    image.resize(length);
    return image;
}

const HeaderCase headerCases[] = {
    {"Shorter than a DOS header", [] { return Truncated(Pe32Image(0), 63); }, false},
    {"Zeros as long as a DOS header", [] { return Bytes(64, 0); }, false},
    {"DOS header alone", [] { return Truncated(Pe32Image(0), 64); }, false},
    {"NtHeadersEndExactly", [] { return Truncated(Pe32Image(0), SectionTableEnd(0)); }, true},
    {"NtHeadersOneByteShort", [] { return Truncated(Pe32Image(0), SectionTableEnd(0) - 1); }, false},
    {"FarLfanewEndsExactly", [] { return Truncated(Pe32Image(0, 0x200), SectionTableEnd(0, 0x200)); }, true},
    {"FarLfanewOneByteShort", [] { return Truncated(Pe32Image(0, 0x200), SectionTableEnd(0, 0x200) - 1); }, false},
    {"SectionTableEndsExactly", [] { return Truncated(Pe32Image(3), SectionTableEnd(3)); }, true},
    {"SectionTableOneByteShort", [] { return Truncated(Pe32Image(3), SectionTableEnd(3) - 1); }, false},
    {"FarSectionTableEndsExactly", [] { return Truncated(Pe32Image(2, 0x90), SectionTableEnd(2, 0x90)); }, true},
    {"FarSectionTableOneByteShort", [] { return Truncated(Pe32Image(2, 0x90), SectionTableEnd(2, 0x90) - 1); }, false},
    {"WrongDosSignature", [] { return WithValue(Pe32Image(1), 0, uint16_t{0x5A4E}); }, false},
    {"WrongNtSignature", [] { return WithValue(Pe32Image(1), NtAt, uint32_t{0x4551}); }, false},
    {"DllBitWithoutExecutableBit", [] { return WithValue(Pe32Image(1), NtAt + 22, uint16_t{0x2000}); }, false},
    {"ExecutableBitAlone", [] { return WithValue(Pe32Image(1), NtAt + 22, uint16_t{0x0002}); }, true},
    {"OtherSizeOfOptionalHeader", [] { return WithValue(Pe32Image(1), NtAt + 20, uint16_t{0xF0}); }, true},
    {"FewRvaAndSizes", [] { return WithValue(Pe32Image(1), NtAt + 116, uint32_t{2}); }, true},
    {"NoSections", [] { return Pe32Image(0); }, true},
    {"NegativeLfanew", [] { return WithValue(Pe32Image(1), 60, uint32_t{0x80000000}); }, false},
    {"LfanewOfMinusOne", [] { return WithValue(Pe32Image(1), 60, uint32_t{0xFFFFFFFF}); }, false},
    {"OtherMachine", [] { return WithValue(Pe32Image(1), NtAt + 4, uint16_t{Pe32Plus::Machine}); }, false},
    {"OtherMagic", [] { return WithValue(Pe32Image(1), NtAt + 24, uint16_t{Pe32Plus::Magic}); }, false},
};

INSTANTIATE_TEST_SUITE_P(Table, ReadImageHeadersCase, testing::ValuesIn(headerCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::erase(name, ' ');
                             return name;
                         });

// Section counts from 0x8000 on are negative as the signed field; the array is long enough
// for every header, so only the count can refuse it.
TEST(ReadImageHeaders, RefusesSectionCountsThatAreNegativeAsSigned) {
    for (const uint32_t count : {0x7FFFu, 0x8000u, 0xFFFFu}) {
        Bytes image = Pe32Image(0);
        image.resize(SectionTableEnd(0xFFFF));
        WriteAt(image, NtAt + 6, static_cast<uint16_t>(count));
        const auto headers = ReadImageHeaders<Pe32>(ImageBytes(image.data(), image.size()));
        EXPECT_EQ(headers.has_value(), count < 0x8000) << count;
        if (headers) {
            EXPECT_EQ(headers->sections.size(), count);
        }
    }
}

TEST(ReadImageHeaders, ReadsTheSectionTableBehindTheFixedNtHeaders) {
    ImageBuilder<Pe32> builder;
    builder.AddSection(Bytes(16, 1));
    builder.AddSection(Bytes(16, 2), 0x2345);
    builder.Nt().FileHeader.SizeOfOptionalHeader = 0x40;
    const Bytes image = builder.Build();
    const auto headers = ReadImageHeaders<Pe32>(ImageBytes(image.data(), image.size()));
    ASSERT_TRUE(headers);
    ASSERT_EQ(headers->sections.size(), 2u);
    EXPECT_EQ(headers->sections[0].VirtualAddress, 0x1000u);
    EXPECT_EQ(headers->sections[1].VirtualAddress, 0x2000u);
    EXPECT_EQ(headers->sections[1].VirtualSize, 0x2345u);
}

TEST(ReadImageHeaders, EachFormatRefusesTheOther) {
    const Bytes pe32 = ImageBuilder<Pe32>().Build();
    const Bytes pe32Plus = ImageBuilder<Pe32Plus>().Build();
    EXPECT_TRUE(ReadImageHeaders<Pe32>(ImageBytes(pe32.data(), pe32.size())));
    EXPECT_FALSE(ReadImageHeaders<Pe32Plus>(ImageBytes(pe32.data(), pe32.size())));
    EXPECT_TRUE(ReadImageHeaders<Pe32Plus>(ImageBytes(pe32Plus.data(), pe32Plus.size())));
    EXPECT_FALSE(ReadImageHeaders<Pe32>(ImageBytes(pe32Plus.data(), pe32Plus.size())));
}

TEST(ReadMappedHeaders, ReadsWithoutTestingSignatures) {
    Bytes image = ImageBuilder<Pe32>().Build();
    WriteAt(image, 0, uint16_t{0});
    const auto headers = ReadMappedHeaders<Pe32>(ImageBytes(image.data(), image.size()));
    ASSERT_TRUE(headers);
    EXPECT_FALSE(HasSignatures(*headers));
    EXPECT_EQ(headers->nt.OptionalHeader.ImageBase, 0x10000000u);
}

}  // namespace
}  // namespace loader_test
