// The records of a Windows image that the loader reads, laid out byte for byte as in the file,
// and the two image formats the loader maps: PE32 (32-bit) and PE32+ (64-bit).
// No Windows header is included: the loader core builds and is tested on any host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace loader {

struct IMAGE_DOS_HEADER {
    uint16_t e_magic;
    uint16_t e_cblp;
    uint16_t e_cp;
    uint16_t e_crlc;
    uint16_t e_cparhdr;
    uint16_t e_minalloc;
    uint16_t e_maxalloc;
    uint16_t e_ss;
    uint16_t e_sp;
    uint16_t e_csum;
    uint16_t e_ip;
    uint16_t e_cs;
    uint16_t e_lfarlc;
    uint16_t e_ovno;
    uint16_t e_res[4];
    uint16_t e_oemid;
    uint16_t e_oeminfo;
    uint16_t e_res2[10];
    int32_t e_lfanew;
};

struct IMAGE_FILE_HEADER {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct IMAGE_DATA_DIRECTORY {
    uint32_t VirtualAddress;
    uint32_t Size;
};

inline constexpr int DirectoryCount = 16;
inline constexpr int ExportDirectoryIndex = 0;
inline constexpr int ImportDirectoryIndex = 1;
inline constexpr int RelocationDirectoryIndex = 5;

struct IMAGE_OPTIONAL_HEADER32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint32_t BaseOfData;
    uint32_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint32_t SizeOfStackReserve;
    uint32_t SizeOfStackCommit;
    uint32_t SizeOfHeapReserve;
    uint32_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[DirectoryCount];
};

// PE32+ drops BaseOfData and widens ImageBase and the four stack and heap sizes.
struct IMAGE_OPTIONAL_HEADER64 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint64_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint64_t SizeOfStackReserve;
    uint64_t SizeOfStackCommit;
    uint64_t SizeOfHeapReserve;
    uint64_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[DirectoryCount];
};

struct IMAGE_NT_HEADERS32 {
    uint32_t Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER32 OptionalHeader;
};

struct IMAGE_NT_HEADERS64 {
    uint32_t Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER64 OptionalHeader;
};

struct IMAGE_SECTION_HEADER {
    uint8_t Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct IMAGE_EXPORT_DIRECTORY {
    uint32_t Characteristics;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t Name;
    uint32_t Base;
    uint32_t NumberOfFunctions;
    uint32_t NumberOfNames;
    uint32_t AddressOfFunctions;
    uint32_t AddressOfNames;
    uint32_t AddressOfNameOrdinals;
};

struct IMAGE_IMPORT_DESCRIPTOR {
    uint32_t OriginalFirstThunk;
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;
    uint32_t FirstThunk;
};

struct IMAGE_BASE_RELOCATION {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;
};

static_assert(sizeof(IMAGE_DOS_HEADER) == 64 && offsetof(IMAGE_DOS_HEADER, e_lfanew) == 60);
static_assert(sizeof(IMAGE_NT_HEADERS32) == 248 && sizeof(IMAGE_NT_HEADERS64) == 264);
static_assert(offsetof(IMAGE_NT_HEADERS32, FileHeader.Characteristics) == 22);
static_assert(offsetof(IMAGE_NT_HEADERS32, OptionalHeader.ImageBase) == 52);
static_assert(offsetof(IMAGE_NT_HEADERS32, OptionalHeader.SizeOfImage) == 80);
static_assert(offsetof(IMAGE_NT_HEADERS32, OptionalHeader.DataDirectory) == 120);
static_assert(offsetof(IMAGE_NT_HEADERS64, OptionalHeader.ImageBase) == 48);
static_assert(offsetof(IMAGE_NT_HEADERS64, OptionalHeader.SizeOfImage) == 80);
static_assert(offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) == 136);
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40 && offsetof(IMAGE_SECTION_HEADER, PointerToRawData) == 20);
static_assert(sizeof(IMAGE_EXPORT_DIRECTORY) == 40 && offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals) == 36);
static_assert(sizeof(IMAGE_IMPORT_DESCRIPTOR) == 20 && sizeof(IMAGE_BASE_RELOCATION) == 8);

inline constexpr uint16_t DosSignature = 0x5A4D;   // "MZ"
inline constexpr uint32_t NtSignature = 0x4550;    // "PE\0\0"
inline constexpr uint16_t ExecutableImageFlag = 0x0002;
inline constexpr uint16_t DllFlag = 0x2000;
inline constexpr uint32_t ProcessDetach = 0;
inline constexpr uint32_t ProcessAttach = 1;

// The 32-bit format of the release program: addresses and thunks are 32 bits wide.
struct Pe32 {
    using Address = uint32_t;
    using NtHeaders = IMAGE_NT_HEADERS32;
    static constexpr uint16_t Machine = 0x014C;
    static constexpr uint16_t Magic = 0x010B;
    static constexpr Address OrdinalFlag = Address{1} << 31;
    static constexpr uint16_t RelocationType = 3;  // HIGHLOW: a 32-bit word
};

// The 64-bit format: addresses and thunks are 64 bits wide.
struct Pe32Plus {
    using Address = uint64_t;
    using NtHeaders = IMAGE_NT_HEADERS64;
    static constexpr uint16_t Machine = 0x8664;
    static constexpr uint16_t Magic = 0x020B;
    static constexpr Address OrdinalFlag = Address{1} << 63;
    static constexpr uint16_t RelocationType = 10;  // DIR64: a 64-bit word
};

}  // namespace loader
