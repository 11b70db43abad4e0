// Reading and validating the headers of an image: from the byte array before mapping, and
// from a mapping afterwards.
#pragma once

#include "CheckedBytes.h"
#include "ImageRecords.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace loader {

template <typename Format>
struct ImageHeaders {
    IMAGE_DOS_HEADER dos;
    typename Format::NtHeaders nt;
    std::vector<IMAGE_SECTION_HEADER> sections;
};

template <typename Format>
struct MappedHeaders {
    IMAGE_DOS_HEADER dos;
    typename Format::NtHeaders nt;
};

// Counts of 0x8000 and more would be negative as the signed field the format intends.
inline constexpr uint16_t SectionCountLimit = 0x8000;

template <typename Format>
uint64_t SectionTableOffset(const IMAGE_DOS_HEADER& dos) {
    return static_cast<uint64_t>(dos.e_lfanew) + sizeof(typename Format::NtHeaders);
}

// Bytes from the start of the image to the end of its section table.
template <typename Format>
uint64_t HeadersLength(const ImageHeaders<Format>& headers) {
    return SectionTableOffset<Format>(headers.dos) +
           sizeof(IMAGE_SECTION_HEADER) * uint64_t{headers.nt.FileHeader.NumberOfSections};
}

template <typename Format>
bool IsOwnFormat(const typename Format::NtHeaders& nt) {
    return nt.FileHeader.Machine == Format::Machine && nt.OptionalHeader.Magic == Format::Magic;
}

template <typename Format>
std::optional<std::vector<IMAGE_SECTION_HEADER>> ReadSectionTable(ImageBytes image,
                                                                   const IMAGE_DOS_HEADER& dos,
                                                                   uint16_t count) {
    std::vector<IMAGE_SECTION_HEADER> sections;
    sections.reserve(count);
    const uint64_t table = SectionTableOffset<Format>(dos);
    for (uint64_t i = 0; i < count; ++i) {
        auto section = image.Read<IMAGE_SECTION_HEADER>(table + sizeof(IMAGE_SECTION_HEADER) * i);
        if (!section) return std::nullopt;
        sections.push_back(*section);
    }
    return sections;
}

// Validates an image held in a byte array, test by test, and reads its headers. Each length
// test passes at equality: an image may end exactly behind its section table.
template <typename Format>
std::optional<ImageHeaders<Format>> ReadImageHeaders(ImageBytes image) {
    auto dos = image.Read<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != DosSignature) return std::nullopt;
    if (dos->e_lfanew < 0) return std::nullopt;
    auto nt = image.Read<typename Format::NtHeaders>(static_cast<uint64_t>(dos->e_lfanew));
    if (!nt || nt->Signature != NtSignature) return std::nullopt;
    // The other format's fields sit at other offsets; reading it as this one would misread it.
    if (!IsOwnFormat<Format>(*nt)) return std::nullopt;
    if ((nt->FileHeader.Characteristics & ExecutableImageFlag) == 0) return std::nullopt;
    const uint16_t count = nt->FileHeader.NumberOfSections;
    if (count >= SectionCountLimit) return std::nullopt;
    auto sections = ReadSectionTable<Format>(image, *dos, count);
    if (!sections) return std::nullopt;
    return ImageHeaders<Format>{*dos, *nt, std::move(*sections)};
}

// Reads the DOS and NT headers of a mapped image; tests no signature, as each caller states
// its own tests.
template <typename Format>
std::optional<MappedHeaders<Format>> ReadMappedHeaders(ImageBytes mapping) {
    auto dos = mapping.Read<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_lfanew < 0) return std::nullopt;
    auto nt = mapping.Read<typename Format::NtHeaders>(static_cast<uint64_t>(dos->e_lfanew));
    if (!nt) return std::nullopt;
    return MappedHeaders<Format>{*dos, *nt};
}

template <typename Format>
bool HasSignatures(const MappedHeaders<Format>& headers) {
    return headers.dos.e_magic == DosSignature && headers.nt.Signature == NtSignature;
}

}  // namespace loader
