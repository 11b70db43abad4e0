// What the host keeps per main window, shared by window building, events and properties.
#pragma once

#include "host/Host.h"
#include "host/WindowDefinition.h"

#include <windows.h>

#include <vector>

namespace host {

struct ControlState {
    const ControlDefinition* definition = nullptr;
    HWND handle = nullptr;
    bool visible = false;
    Text caption{};  // labels: the caption last set
    Colour textColour = kBlack;
    int inputMode = kNormalInput;
};

struct WindowState {
    WindowDefinition definition{};
    HWND handle = nullptr;
    std::vector<ControlState> controls;  // index = object number - 1
    int selectedPage = 0;
    int position = kNormalPosition;
    HWND focus = nullptr;  // the control that had the focus when the window was deactivated
};

// The one main window; its handle is null before it is built and after it is destroyed.
WindowState& MainWindowState();

// The control of an object number, or null for the window itself or an unknown number.
ControlState* FindControl(int object);

// Whether a control may be on the screen: its flag is set and its page, if any, is selected.
bool MayShow(const ControlState& control);

void RaiseEvent(EventRecord& event);

// The message loop's side: pre-translation shared by the loop and PumpEvents, and the quit that
// follows the destruction of the last window.
void TranslateAndDispatch(MSG& message);
void QuitIfLoopRunning();

}  // namespace host
