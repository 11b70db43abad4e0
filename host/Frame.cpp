// Process initialisation, the exit sequence and the host's fatal errors.
#include "host/Frame.h"

#include "host/Host.h"

#include <windows.h>
#include <ole2.h>

#include <string>
#include <utility>

namespace host {
namespace {

void (*exitHandler)() = nullptr;

std::string ProgramPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // cut short: try a larger buffer
    }
}

// Every relative file name, and the working directory of every started process, is then the
// program's own directory, wherever it was started from.
void EnterProgramDirectory() {
    std::string path = ProgramPath();
    std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos) return;
    path.resize(slash);
    SetCurrentDirectoryA(path.c_str());
}

}  // namespace

void InitializeHost() {
    OleInitialize(nullptr);
    EnterProgramDirectory();
}

void RegisterExitHandler(void (*routine)()) { exitHandler = routine; }

void RunExitSequence() {
    if (auto routine = std::exchange(exitHandler, nullptr)) routine();
    OleUninitialize();
}

[[noreturn]] void FatalError(const char* text) {
    MessageBoxA(nullptr, text, "星澜网桥", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    exitHandler = nullptr;
    RunExitSequence();
    ExitProcess(0xFFFFFFFF);
}

}  // namespace host
