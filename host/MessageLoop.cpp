// The message loop and event pumping.
#include "host/Frame.h"
#include "host/Host.h"
#include "host/WindowState.h"

#include <windows.h>

namespace host {
namespace {

bool loopRunning = false;
std::uintptr_t quitCode = 0;

}  // namespace

// Dialog keys (Tab, Shift+Tab) are handled as in a dialog; Enter and Esc reach the window as
// IDOK and IDCANCEL commands, which no control has, so they do nothing.
void TranslateAndDispatch(MSG& message) {
    HWND window = MainWindowState().handle;
    if (window && IsDialogMessageA(window, &message)) return;
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

void QuitIfLoopRunning() {
    if (loopRunning) PostQuitMessage(0);
}

void RunMessageLoop() {
    loopRunning = true;
    if (!MainWindowState().handle) return;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) TranslateAndDispatch(message);
    quitCode = message.wParam;
}

// WM_QUIT stays in the queue for RunMessageLoop: pumping never ends the program.
void PumpEvents() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message != WM_QUIT)
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) TranslateAndDispatch(message);
}

std::uintptr_t QuitCode() { return quitCode; }

}  // namespace host
