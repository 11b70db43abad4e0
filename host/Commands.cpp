// Running commands as child processes.
#include "host/Host.h"
#include "host/Scoped.h"
#include "host/Text.h"

#include <windows.h>

#include <algorithm>

namespace host {
namespace {

WORD ShowWindowFlag(int showMode) {
    static constexpr WORD kFlags[] = {SW_HIDE, SW_SHOWNORMAL, SW_SHOWMINIMIZED, SW_SHOWMAXIMIZED, SW_SHOWNOACTIVATE,
                                      SW_MINIMIZE};
    return kFlags[std::clamp(showMode, 1, 6) - 1];
}

struct Process {
    ScopedHandle process;
    ScopedHandle thread;
};

// Starts a command line as CreateProcessA finds its first word, in the program's directory and
// environment. With an output handle the child's standard output and error go to it, which makes
// that one handle inheritable; otherwise no handle is inherited.
bool StartProcess(const Text& commandLine, int showMode, HANDLE output, Process& started) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | (output ? STARTF_USESTDHANDLES : 0);
    startup.wShowWindow = ShowWindowFlag(showMode);
    startup.hStdOutput = output;
    startup.hStdError = output;
    Text line = commandLine;  // CreateProcessA may write into its command line
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup, &info))
        return false;
    started.process.Reset(info.hProcess);
    started.thread.Reset(info.hThread);
    return true;
}

std::string ReadToEnd(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) bytes.append(buffer, count);
    return bytes;
}

}  // namespace

bool RunCommand(const Text& commandLine, bool wait, int showMode) {
    Process started;
    if (!StartProcess(commandLine, showMode, nullptr, started)) return false;
    if (wait)
        WaitForSingleObject(started.process.Get(), INFINITE);
    else
        WaitForInputIdle(started.process.Get(), 1000);
    return true;
}

// The pipe is read until the child and everything it started have closed their ends, then the
// child's exit is awaited; like RunCommand with wait, this dispatches nothing meanwhile.
CommandOutcome RunCommandCapturingOutput(const Text& commandLine, int showMode) {
    CommandOutcome outcome;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return outcome;
    ScopedHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    Process started;
    outcome.started = StartProcess(commandLine, showMode, writeEnd, started);
    writer.Reset();  // the child holds the only write end now, so reading ends when it exits
    if (!outcome.started) return outcome;
    outcome.output = OemToAnsi(ReadToEnd(readEnd));
    WaitForSingleObject(started.process.Get(), INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(started.process.Get(), &exitCode);
    outcome.exitCode = exitCode;
    return outcome;
}

}  // namespace host
