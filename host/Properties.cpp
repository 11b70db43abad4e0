// Reading and writing the properties of the main window and its controls.
#include "host/Host.h"
#include "host/WindowState.h"

#include <windows.h>

#include <algorithm>

namespace host {
namespace {

Text WindowText(HWND handle) {
    Text text(static_cast<std::size_t>(GetWindowTextLengthA(handle)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(handle, text.data(), static_cast<int>(text.size()))));
    return text;
}

void Repaint(HWND handle) { InvalidateRect(handle, nullptr, FALSE); }

// ---- the main window ----------------------------------------------------------------------

void CentreOnScreen(HWND window) {
    RECT frame;
    GetWindowRect(window, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// The window has a fixed frame, so "maximised" means restored and covering the whole screen.
void ApplyPosition(HWND window, int position) {
    switch (position) {
    case kNormalPosition: ShowWindow(window, SW_SHOWNORMAL); break;
    case kCentred:
        if (IsIconic(window) || IsZoomed(window)) ShowWindow(window, SW_RESTORE);
        CentreOnScreen(window);
        break;
    case kMinimised: ShowWindow(window, SW_MINIMIZE); break;
    case kMaximised:
        ShowWindow(window, SW_RESTORE);
        SetWindowPos(window, nullptr, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), SWP_NOZORDER);
        break;
    }
}

int CurrentPosition(HWND window) {
    if (IsIconic(window)) return kMinimised;
    if (IsZoomed(window)) return kMaximised;
    return kNormalPosition;
}

PropertyValue GetWindowProperty(HWND window, int number) {
    switch (number) {
    case kVisible: return IsWindowVisible(window) ? 1 : 0;
    case kMode: return CurrentPosition(window);
    default: return 0;
    }
}

void SetWindowProperty(WindowState& state, int number, const PropertyValue& value) {
    switch (number) {
    case kVisible: ShowWindow(state.handle, value.number ? SW_SHOW : SW_HIDE); break;
    case kMode:
        // A hidden window only stores its new position.
        state.position = std::clamp<int>(value.number, kNormalPosition, kMaximised);
        if (IsWindowVisible(state.handle)) ApplyPosition(state.handle, state.position);
        break;
    }
}

// ---- controls -----------------------------------------------------------------------------

PropertyValue GetControlProperty(const ControlState& control, int number) {
    ControlKind kind = control.definition->kind;
    switch (number) {
    case kVisible: return IsWindowVisible(control.handle) ? 1 : 0;
    case kDisabled: return IsWindowEnabled(control.handle) ? 0 : 1;
    case kText: return kind == ControlKind::Label ? control.caption : WindowText(control.handle);
    case kTextColour: return static_cast<std::int32_t>(control.textColour);
    case kMode:
        if (kind == ControlKind::EditBox) return control.inputMode;
        if (kind == ControlKind::CheckBox) return SendMessageA(control.handle, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
        return 0;
    default: return 0;
    }
}

void SetVisible(ControlState& control, bool visible) {
    control.visible = visible;
    ShowWindow(control.handle, MayShow(control) ? SW_SHOW : SW_HIDE);
}

// Setting the text of an edit box raises its content-changed notification, as typing does.
void SetText(ControlState& control, const Text& text) {
    SetWindowTextA(control.handle, text.c_str());
    if (control.definition->kind == ControlKind::Label) {
        control.caption = text;
        Repaint(control.handle);
    } else if (control.definition->kind == ControlKind::EditBox) {
        int id = GetDlgCtrlID(control.handle);
        SendMessageA(GetParent(control.handle), WM_COMMAND, MAKEWPARAM(id, EN_CHANGE),
                     reinterpret_cast<LPARAM>(control.handle));
    }
}

void SetInputMode(ControlState& control, int mode) {
    control.inputMode = mode;
    SendMessageA(control.handle, EM_SETPASSWORDCHAR, mode == kPasswordInput ? '*' : 0, 0);
    SendMessageA(control.handle, EM_SETREADONLY, mode == kReadOnly, 0);
    InvalidateRect(control.handle, nullptr, TRUE);
}

void SetMode(ControlState& control, int value) {
    if (control.definition->kind == ControlKind::EditBox) SetInputMode(control, value);
    if (control.definition->kind == ControlKind::CheckBox)
        SendMessageA(control.handle, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
}

void SetControlProperty(ControlState& control, int number, const PropertyValue& value) {
    switch (number) {
    case kVisible: SetVisible(control, value.number != 0); break;
    case kDisabled: EnableWindow(control.handle, value.number == 0); break;
    case kText: SetText(control, value.text); break;
    case kTextColour:
        control.textColour = static_cast<Colour>(value.number);
        Repaint(control.handle);
        break;
    case kMode: SetMode(control, value.number); break;
    }
}

}  // namespace

// Neither the window nor its controls are touched once the window has been destroyed.
PropertyValue GetProperty(int object, int number) {
    WindowState& window = MainWindowState();
    if (!window.handle) return 0;
    if (object == kMainWindow) return GetWindowProperty(window.handle, number);
    ControlState* control = FindControl(object);
    return control ? GetControlProperty(*control, number) : PropertyValue(0);
}

void SetProperty(int object, int number, const PropertyValue& value) {
    WindowState& window = MainWindowState();
    if (!window.handle) return;
    if (object == kMainWindow) return SetWindowProperty(window, number, value);
    if (ControlState* control = FindControl(object)) SetControlProperty(*control, number, value);
}

}  // namespace host
