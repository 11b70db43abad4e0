// A minimal program on the host, for the tests of its frame: "normal" opens one window with one
// button; "broken" opens a definition that cannot be built. Its exit handler appends a line to
// exit-handler.log in the current directory, which the host makes the program's own.
#include "host/Host.h"

#include <windows.h>

#include <cstring>

namespace {

void RecordExit() {
    HANDLE file = CreateFileA("exit-handler.log", FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, "exit\n", 5, &written, nullptr);
    CloseHandle(file);
}

constexpr host::ControlDefinition kButton[] = {
    {.object = 1, .name = "按钮", .kind = host::ControlKind::Button, .page = host::kNoPage, .left = 10, .top = 10, .width = 80, .height = 24, .text = "按钮"},
};
// A control on a tab page without a tab control.
constexpr host::ControlDefinition kOrphan[] = {
    {.object = 1, .name = "按钮", .kind = host::ControlKind::Button, .page = 0, .left = 10, .top = 10, .width = 80, .height = 24, .text = "按钮"},
};

}  // namespace

int ProgramEntry() {
    host::RegisterExitHandler(RecordExit);
    bool broken = std::strstr(GetCommandLineA(), "broken") != nullptr;
    host::WindowDefinition window{.title = "HostProbe", .width = 200, .height = 120, .controls = kButton, .focusOrder = {}, .events = {}};
    if (broken) window.controls = kOrphan;
    host::OpenMainWindow(window);
    host::RunMessageLoop();
    return 0;
}
