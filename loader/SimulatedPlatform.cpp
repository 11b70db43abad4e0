#include "SimulatedPlatform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>

namespace loader {

namespace {

// More than any image the tests map; a mutated SizeOfImage beyond it fails as a real
// allocation would, instead of filling the host's memory.
constexpr uint64_t MemoryLimit = 16 * 1024 * 1024;
constexpr uint64_t PlacementGranularity = 0x10000;
constexpr uint64_t FirstLibraryHandle = 0x60000000;
constexpr uint64_t FirstMadeUpAddress = 0x70000000;

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string ImportKey(const std::string& library, const std::string& name) { return Lowercase(library) + "!" + name; }

// No export name holds a zero byte, so an ordinal's key never equals a name, not even "#7".
std::string OrdinalName(uint16_t ordinal) {
    std::string name("\0#", 2);
    return name.append(std::to_string(ordinal));
}

bool IsDecimalText(const char* text) {
    const size_t length = std::strlen(text);
    return length > 0 && std::all_of(text, text + length, [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

Region SimulatedPlatform::VirtualAlloc(uint64_t preferred, uint64_t size) {
    if (size == 0 || size > MemoryLimit) return {};
    // As the system does, a chosen address is rounded down to the allocation granularity; the
    // first 64 KB are never given out.
    uint64_t base = preferred & ~(PlacementGranularity - 1);
    if (preferred != 0) {
        if (!preferredBaseAllowed_ || base == 0 || Overlaps(base, size)) return {};
    } else {
        base = nextPlacement_;
        for (const auto& [start, bytes] : regions_) {
            if (Overlaps(base, size)) base = AlignUp(start + bytes.size(), PlacementGranularity);
        }
    }
    lastRegionSize_ = size;
    auto& bytes = regions_[base];
    bytes.assign(size, 0);
    return {base, bytes.data()};
}

bool SimulatedPlatform::VirtualFree(uint64_t base) { return regions_.erase(base) == 1; }

uint8_t* SimulatedPlatform::RegionBytes(uint64_t base) {
    const auto region = regions_.find(base);
    return region == regions_.end() ? nullptr : region->second.data();
}

uint64_t SimulatedPlatform::LoadLibraryA(const char* name) {
    loadedLibraries_.push_back(name);
    const auto library = libraries_.find(Lowercase(name));
    return library == libraries_.end() ? 0 : library->second;
}

uint64_t SimulatedPlatform::GetProcAddress(uint64_t module, const char* name) { return ProcAddress(module, name); }

uint64_t SimulatedPlatform::GetProcAddress(uint64_t module, uint16_t ordinal) {
    return ProcAddress(module, OrdinalName(ordinal));
}

uint64_t SimulatedPlatform::CallResolver(uint64_t resolver, const char* dllName, const char* importName,
                                         uint64_t userValue) {
    if (!TextInsideRegion(dllName)) violations_.push_back("DLL name outside the mapping");
    if (!TextInsideRegion(importName) && !IsDecimalText(importName)) {
        violations_.push_back("import name outside the mapping");
    }
    resolverCalls_.push_back({resolver, dllName, importName, userValue});
    return resolverAnswers_ ? ResolverAddress(dllName, importName) : 0;
}

uint64_t SimulatedPlatform::CallEntryPoint(uint64_t entry, uint32_t reason) {
    if (!InsideRegion(entry)) violations_.push_back("entry point outside the mapping");
    entryCalls_.push_back({entry, reason});
    return entryResult_;
}

void SimulatedPlatform::AddLibraryExport(const std::string& library, const std::string& name) {
    LibraryHandle(library);
    libraryExports_.insert(ImportKey(library, name));
}

void SimulatedPlatform::AddLibraryExport(const std::string& library, uint16_t ordinal) {
    AddLibraryExport(library, OrdinalName(ordinal));
}

uint64_t SimulatedPlatform::ResolverAddress(const std::string& dllName, const std::string& importName) {
    return MadeUpAddress("resolver " + ImportKey(dllName, importName));
}

uint64_t SimulatedPlatform::ExportAddress(const std::string& library, const std::string& name) {
    return MadeUpAddress("export " + ImportKey(library, name));
}

uint64_t SimulatedPlatform::ExportAddress(const std::string& library, uint16_t ordinal) {
    return ExportAddress(library, OrdinalName(ordinal));
}

uint64_t SimulatedPlatform::MadeUpAddress(const std::string& key) {
    const auto [entry, added] = addresses_.try_emplace(key, 0);
    if (added) entry->second = FirstMadeUpAddress + 0x10 * (addresses_.size() - 1);
    return entry->second;
}

uint64_t SimulatedPlatform::LibraryHandle(const std::string& library) {
    const auto [entry, added] = libraries_.try_emplace(Lowercase(library), 0);
    if (added) entry->second = FirstLibraryHandle + PlacementGranularity * (libraries_.size() - 1);
    return entry->second;
}

bool SimulatedPlatform::Overlaps(uint64_t base, uint64_t size) const {
    return std::any_of(regions_.begin(), regions_.end(), [&](const auto& region) {
        return base < region.first + region.second.size() && region.first < base + size;
    });
}

bool SimulatedPlatform::InsideRegion(uint64_t address) const { return Overlaps(address, 1); }

bool SimulatedPlatform::TextInsideRegion(const char* text) const {
    return std::any_of(regions_.begin(), regions_.end(), [&](const auto& region) {
        const auto* start = reinterpret_cast<const char*>(region.second.data());
        const auto* end = start + region.second.size();
        return std::less_equal<>()(start, text) && std::less<>()(text, end) &&
               std::memchr(text, 0, end - text) != nullptr;
    });
}

// GetProcAddress answers for the exports registered with AddLibraryExport, and 0 otherwise.
uint64_t SimulatedPlatform::ProcAddress(uint64_t module, const std::string& name) {
    const auto library = std::find_if(libraries_.begin(), libraries_.end(),
                                      [&](const auto& entry) { return entry.second == module; });
    if (library == libraries_.end()) return 0;
    // Ordinals are recorded as "#7", as a person would write them.
    procLookups_.push_back(ImportKey(library->first, name.substr(name.rfind('\0') + 1)));
    if (!libraryExports_.contains(ImportKey(library->first, name))) return 0;
    return ExportAddress(library->first, name);
}

}  // namespace loader
