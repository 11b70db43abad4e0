// Times the load (map, link, start) of the bulk fixture (about 100 KB, 8192 relocations) by the
// in-memory loader beside the system's loader on the same bytes written to a file, in one
// process, the two interleaved, once at the image's preferred base and once with that range
// taken, so that both relocate. Prints the median of each and their ratio.
//   loader_bench [runs]      200 runs of each by default
#include "PreferredRangeTaken.h"

#include "loader/MemoryDll.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<char>;

// Every cell is read through its relocated pointer; only the first cell holds 1. The name's
// length (4) comes through the kernel32 import.
constexpr int ExpectedBulkSum = 1 + 4;

using BulkSum = int();

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The bytes as a DLL file for the system's loader, deleted when the bench ends.
class TemporaryDll {
public:
    explicit TemporaryDll(const Bytes& bytes) {
        char folder[MAX_PATH];
        const DWORD length = GetTempPathA(MAX_PATH, folder);
        if (length == 0 || length >= MAX_PATH) return;
        path_ = std::string(folder) + "LoaderBench-" + std::to_string(GetCurrentProcessId()) + ".dll";
        std::ofstream file(path_, std::ios::binary);
        if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !file.flush()) path_.clear();
    }
    TemporaryDll(const TemporaryDll&) = delete;
    TemporaryDll& operator=(const TemporaryDll&) = delete;
    ~TemporaryDll() {
        if (!path_.empty()) DeleteFileA(path_.c_str());
    }

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// The time of the load alone (map, link, start); the unload is not timed. A load or unload
// that fails clears succeeded.
double TimeLoadFromMemory(const Bytes& bytes, bool& succeeded) {
    loader::MemoryDll dll;
    const LARGE_INTEGER start = Now();
    const bool loaded = dll.Load(bytes.data(), bytes.size());
    const LARGE_INTEGER end = Now();
    succeeded = succeeded && loaded && dll.Free();
    return Seconds(start, end);
}

double TimeLoadFromFile(const std::string& path, bool& succeeded) {
    const LARGE_INTEGER start = Now();
    const HMODULE module = LoadLibraryA(path.c_str());
    const LARGE_INTEGER end = Now();
    succeeded = succeeded && module != nullptr && FreeLibrary(module);
    return Seconds(start, end);
}

// BulkSum() of the image as each method loads it, or -1 when it does not load or link.
int SumInMemory(const Bytes& bytes) {
    loader::MemoryDll dll;
    if (!dll.Load(bytes.data(), bytes.size()) || dll.GetProc("BulkSum") == 0) return -1;
    return reinterpret_cast<BulkSum*>(dll.GetProc("BulkSum"))();
}

int SumFromFile(const std::string& path) {
    const HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) return -1;
    const auto sum = reinterpret_cast<void*>(GetProcAddress(module, "BulkSum"));
    const int result = sum == nullptr ? -1 : reinterpret_cast<BulkSum*>(sum)();
    FreeLibrary(module);
    return result;
}

// One load by each method, so that the timings are of images that really link and run.
bool BothLoadsLink(const Bytes& bytes, const std::string& path) {
    const int inMemory = SumInMemory(bytes), fromFile = SumFromFile(path);
    if (inMemory != ExpectedBulkSum) std::fprintf(stderr, "MemoryDll: BulkSum() gave %d, not %d\n", inMemory, ExpectedBulkSum);
    if (fromFile != ExpectedBulkSum) std::fprintf(stderr, "LoadLibraryA: BulkSum() gave %d, not %d\n", fromFile, ExpectedBulkSum);
    return inMemory == ExpectedBulkSum && fromFile == ExpectedBulkSum;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Times runs loads by each method, interleaved, and prints their medians and ratio.
bool Compare(const char* placement, const Bytes& bytes, const std::string& path, int runs) {
    if (!BothLoadsLink(bytes, path)) return false;
    // The order alternates, so neither method always runs on the other's warm caches.
    std::vector<double> inMemory, fromFile;
    bool succeeded = true;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) inMemory.push_back(TimeLoadFromMemory(bytes, succeeded));
        fromFile.push_back(TimeLoadFromFile(path, succeeded));
        if (run % 2 != 0) inMemory.push_back(TimeLoadFromMemory(bytes, succeeded));
    }
    if (!succeeded) {
        std::fprintf(stderr, "a timed load or unload failed\n");
        return false;
    }
    const double memoryMedian = Median(inMemory), fileMedian = Median(fromFile);
    std::printf("%s, %d runs of each\n", placement, runs);
    std::printf("  MemoryDll::Load   median %9.1f us\n", memoryMedian * 1e6);
    std::printf("  LoadLibraryA      median %9.1f us\n", fileMedian * 1e6);
    std::printf("  ratio MemoryDll / LoadLibraryA %6.3f\n", memoryMedian / fileMedian);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs <= 0) {
        std::fprintf(stderr, "usage: loader_bench [runs]\n");
        return 2;
    }
    const Bytes bytes = ReadFile(LOADER_FIXTURE_DIR "/" LOADER_OWN_ARCH "/LoaderFixtureBulk.dll");
    const TemporaryDll file(bytes);
    if (bytes.empty() || file.Path().empty()) {
        std::fprintf(stderr, "cannot read the bulk fixture or write its copy\n");
        return 1;
    }
    std::printf("bulk fixture: %zu bytes\n", bytes.size());
    if (!Compare("at the preferred base", bytes, file.Path(), runs)) return 1;
    const loader_test::PreferredRangeTaken reserved(bytes.data(), bytes.size());
    if (!reserved.Reserved()) {
        std::fprintf(stderr, "cannot reserve the preferred range\n");
        return 1;
    }
    return Compare("relocated", bytes, file.Path(), runs) ? 0 : 1;
}
