// A platform without a process behind it: images are mapped into byte buffers at chosen
// virtual addresses, libraries and imports resolve to made-up addresses, and calls into code
// are recorded instead of made. It lets a test map images of either format in any process and
// check what the loader wrote, asked and called.
#pragma once

#include "ImageMapping.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace loader {

struct EntryCall {
    uint64_t entry;
    uint32_t reason;
    bool operator==(const EntryCall&) const = default;
};

struct ResolverCall {
    uint64_t resolver;
    std::string dllName;
    std::string importName;
    uint64_t userValue;
};

class SimulatedPlatform {
public:
    // Allocations that do not take their preferred base are placed from placementBase on.
    explicit SimulatedPlatform(uint64_t placementBase) : nextPlacement_(placementBase) {}

    // Platform operations, as the loader calls them.
    Region VirtualAlloc(uint64_t preferred, uint64_t size);
    bool VirtualFree(uint64_t base);
    uint64_t LoadLibraryA(const char* name);
    uint64_t GetProcAddress(uint64_t module, const char* name);
    uint64_t GetProcAddress(uint64_t module, uint16_t ordinal);
    uint64_t CallResolver(uint64_t resolver, const char* dllName, const char* importName, uint64_t userValue);
    uint64_t CallEntryPoint(uint64_t entry, uint32_t reason);

    // Set-up: what the simulated system offers and how the simulated code answers.
    void AllowPreferredBase(bool allow) { preferredBaseAllowed_ = allow; }
    void AddLibraryExport(const std::string& library, const std::string& name);
    void AddLibraryExport(const std::string& library, uint16_t ordinal);
    void SetResolverAnswers(bool answers) { resolverAnswers_ = answers; }
    void SetEntryResult(uint64_t result) { entryResult_ = result; }

    // What happened.
    // The made-up addresses that the resolver answers and that a library's export has.
    uint64_t ResolverAddress(const std::string& dllName, const std::string& importName);
    uint64_t ExportAddress(const std::string& library, const std::string& name);
    uint64_t ExportAddress(const std::string& library, uint16_t ordinal);
    uint64_t LibraryHandle(const std::string& library);
    size_t LiveRegions() const { return regions_.size(); }
    // The bytes of the live region at base, or nullptr; lets a test change a mapped image.
    uint8_t* RegionBytes(uint64_t base);
    uint64_t LastRegionSize() const { return lastRegionSize_; }
    const std::vector<EntryCall>& EntryCalls() const { return entryCalls_; }
    const std::vector<ResolverCall>& ResolverCalls() const { return resolverCalls_; }
    const std::vector<std::string>& LoadedLibraries() const { return loadedLibraries_; }
    const std::vector<std::string>& ProcLookups() const { return procLookups_; }
    // Calls into code outside every live region, and texts handed on from outside them.
    const std::vector<std::string>& Violations() const { return violations_; }

private:
    bool Overlaps(uint64_t base, uint64_t size) const;
    bool InsideRegion(uint64_t address) const;
    bool TextInsideRegion(const char* text) const;
    uint64_t ProcAddress(uint64_t module, const std::string& name);
    uint64_t MadeUpAddress(const std::string& key);

    std::map<uint64_t, std::vector<uint8_t>> regions_;
    uint64_t nextPlacement_;
    uint64_t lastRegionSize_ = 0;
    bool preferredBaseAllowed_ = false;
    bool resolverAnswers_ = true;
    uint64_t entryResult_ = 1;
    std::map<std::string, uint64_t> addresses_;
    std::map<std::string, uint64_t> libraries_;
    std::set<std::string> libraryExports_;
    std::vector<EntryCall> entryCalls_;
    std::vector<ResolverCall> resolverCalls_;
    std::vector<std::string> loadedLibraries_;
    std::vector<std::string> procLookups_;
    std::vector<std::string> violations_;
};

}  // namespace loader
