// Builds the main window from its definition, delivers its events, and applies the tab page
// visibility rule.
#include "host/Frame.h"
#include "host/Host.h"
#include "host/WindowState.h"

#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <string_view>

namespace host {
namespace {

constexpr char kWindowClass[] = "HotspotMainWindow";

WindowState mainWindow;

int ControlId(int object) { return kFirstControlId + object; }

ControlState* ControlOfHandle(HWND handle) {
    for (ControlState& control : mainWindow.controls)
        if (control.handle == handle) return &control;
    return nullptr;
}

// ---- events -------------------------------------------------------------------------------

EventRecord Raise(int object, EventKind kind, std::int32_t a = 0, std::int32_t b = 0, std::int32_t c = 0) {
    EventRecord event;
    event.object = object;
    event.event = kind;
    event.arguments[0] = a;
    event.arguments[1] = b;
    event.arguments[2] = c;
    RaiseEvent(event);
    return event;
}

bool RefusedToClose() {
    EventRecord answer = Raise(kMainWindow, EventKind::CanBeClosed);
    return answer.answered && answer.answer == 0;
}

// ---- pages --------------------------------------------------------------------------------

void ShowSelectedPage() {
    for (ControlState& control : mainWindow.controls)
        if (control.definition->page != kNoPage) ShowWindow(control.handle, MayShow(control) ? SW_SHOWNA : SW_HIDE);
}

void OnPageChanged(HWND tab) {
    mainWindow.selectedPage = static_cast<int>(SendMessageA(tab, TCM_GETCURSEL, 0, 0));
    ShowSelectedPage();
}

// ---- building -----------------------------------------------------------------------------

struct WindowClassAndStyle {
    const char* className;
    DWORD style;
    DWORD extendedStyle;
};

WindowClassAndStyle ClassAndStyle(const ControlDefinition& control) {
    switch (control.kind) {
    case ControlKind::Label:
        // Without word wrap a label is one line, centred vertically; ampersands show as themselves.
        return {"STATIC", SS_LEFT | SS_NOPREFIX | (control.wordWrap ? 0u : DWORD{SS_CENTERIMAGE}), 0};
    case ControlKind::EditBox:
        return {"EDIT", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL | (control.password ? DWORD{ES_PASSWORD} : 0u),
                WS_EX_CLIENTEDGE};
    case ControlKind::Button:
        return {"BUTTON", WS_TABSTOP | BS_PUSHBUTTON | BS_MULTILINE, 0};
    case ControlKind::CheckBox:
        return {"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX | BS_VCENTER, 0};
    case ControlKind::PictureBox:
        // SS_NOTIFY makes the box receive mouse messages instead of passing them to the window.
        return {"STATIC", SS_NOTIFY, 0};
    case ControlKind::TabControl:
        return {WC_TABCONTROLA, WS_CLIPSIBLINGS | TCS_SINGLELINE, 0};
    }
    return {"STATIC", 0, 0};
}

// Places in the definition are relative to the tab control for the controls of its pages.
POINT PlaceInWindow(const ControlDefinition& control) {
    POINT place{control.left, control.top};
    if (control.page == kNoPage) return place;
    for (const ControlDefinition& other : mainWindow.definition.controls)
        if (other.kind == ControlKind::TabControl) {
            place.x += other.left;
            place.y += other.top;
        }
    return place;
}

void AddPages(HWND tab, std::string_view captions) {
    int index = 0;
    while (!captions.empty()) {
        std::size_t end = captions.find('\n');
        std::string caption(captions.substr(0, end));
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption.data();
        SendMessageA(tab, TCM_INSERTITEMA, index++, reinterpret_cast<LPARAM>(&item));
        captions = end == std::string_view::npos ? std::string_view{} : captions.substr(end + 1);
    }
}

LRESULT CALLBACK PictureBoxProcedure(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

bool BuildControl(ControlState& state) {
    const ControlDefinition& control = *state.definition;
    WindowClassAndStyle kind = ClassAndStyle(control);
    POINT place = PlaceInWindow(control);
    const char* text = control.kind == ControlKind::TabControl ? "" : control.text;
    state.handle = CreateWindowExA(kind.extendedStyle, kind.className, text, WS_CHILD | kind.style, place.x,
                                   place.y, control.width, control.height, mainWindow.handle,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(control.object))),
                                   GetModuleHandleA(nullptr), nullptr);
    if (!state.handle) return false;
    SendMessageA(state.handle, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    state.visible = control.visible;
    state.caption = control.text;
    state.textColour = control.textColour;
    state.inputMode = control.password ? kPasswordInput : kNormalInput;
    if (control.password) SendMessageA(state.handle, EM_SETPASSWORDCHAR, '*', 0);
    if (control.kind == ControlKind::TabControl) AddPages(state.handle, control.text);
    if (control.kind == ControlKind::PictureBox) SetWindowSubclass(state.handle, PictureBoxProcedure, 0, 0);
    return true;
}

// Tab walks the controls in z-order, so the focus cycle is made the z-order of its controls; the
// tab control goes to the bottom so that the controls of its pages are drawn over it.
void ArrangeZOrder() {
    HWND previous = HWND_TOP;
    for (int object : mainWindow.definition.focusOrder) {
        HWND handle = FindControl(object)->handle;
        SetWindowPos(handle, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = handle;
    }
    for (ControlState& control : mainWindow.controls)
        if (control.definition->kind == ControlKind::TabControl)
            SetWindowPos(control.handle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

bool BuildControls() {
    mainWindow.controls.clear();
    for (const ControlDefinition& control : mainWindow.definition.controls)
        mainWindow.controls.push_back(ControlState{.definition = &control});
    for (ControlState& control : mainWindow.controls)
        if (!BuildControl(control)) return false;
    ArrangeZOrder();
    for (ControlState& control : mainWindow.controls) ShowWindow(control.handle, MayShow(control) ? SW_SHOWNA : SW_HIDE);
    return true;
}

// A definition whose objects are not numbered by their rows, whose focus cycle names an unknown
// object, or whose page controls have no tab control cannot be built.
bool DefinitionIsSound(const WindowDefinition& window) {
    int tabControls = 0;
    bool pages = false;
    for (std::size_t row = 0; row < window.controls.size(); ++row) {
        const ControlDefinition& control = window.controls[row];
        if (control.object != static_cast<int>(row) + 1) return false;
        tabControls += control.kind == ControlKind::TabControl;
        pages = pages || control.page != kNoPage;
    }
    for (int object : window.focusOrder)
        if (object < 1 || object > static_cast<int>(window.controls.size())) return false;
    return tabControls <= 1 && (!pages || tabControls == 1);
}

LRESULT CALLBACK WindowProcedure(HWND, UINT, WPARAM, LPARAM);

bool RegisterWindowClass() {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool BuildWindow(const WindowDefinition& window) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_TAB_CLASSES};
    InitCommonControlsEx(&classes);
    if (!DefinitionIsSound(window) || !RegisterWindowClass()) return false;
    mainWindow.definition = window;
    int left = (GetSystemMetrics(SM_CXSCREEN) - window.width) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - window.height) / 2;
    mainWindow.handle = CreateWindowExA(0, kWindowClass, window.title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
                                        left, top, window.width, window.height, nullptr, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    return mainWindow.handle && BuildControls();
}

void FocusFirstControl() {
    for (int object : mainWindow.definition.focusOrder) {
        HWND handle = FindControl(object)->handle;
        if (IsWindowVisible(handle) && IsWindowEnabled(handle)) {
            SetFocus(handle);
            return;
        }
    }
}

// ---- window procedure ---------------------------------------------------------------------

void OnCommand(WPARAM wParam, LPARAM lParam) {
    ControlState* control = ControlOfHandle(reinterpret_cast<HWND>(lParam));
    if (control && HIWORD(wParam) == BN_CLICKED) Raise(control->definition->object, EventKind::Clicked);
}

LRESULT OnNotify(LPARAM lParam) {
    const NMHDR& header = *reinterpret_cast<const NMHDR*>(lParam);
    ControlState* control = ControlOfHandle(header.hwndFrom);
    if (control && control->definition->kind == ControlKind::TabControl && header.code == TCN_SELCHANGE)
        OnPageChanged(header.hwndFrom);
    return 0;
}

// Labels and check boxes draw on the button face; a label in the colour last set.
LRESULT OnControlColour(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ControlState* control = ControlOfHandle(reinterpret_cast<HWND>(lParam));
    if (!control || control->definition->kind == ControlKind::EditBox)
        return DefWindowProcA(window, message, wParam, lParam);
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, control->textColour);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

void OnActivate(WPARAM wParam) {
    if (LOWORD(wParam) == WA_INACTIVE) {
        mainWindow.focus = GetFocus();
        return;
    }
    if (mainWindow.focus && IsChild(mainWindow.handle, mainWindow.focus))
        SetFocus(mainWindow.focus);
    else
        FocusFirstControl();
}

void OnClose(HWND window) {
    if (!RefusedToClose()) DestroyWindow(window);
}

LRESULT OnQueryEndSession(HWND window, WPARAM wParam, LPARAM lParam) {
    if (!DefWindowProcA(window, WM_QUERYENDSESSION, wParam, lParam)) return FALSE;
    return RefusedToClose() ? FALSE : TRUE;
}

void OnDestroy() {
    mainWindow.handle = nullptr;
    for (ControlState& control : mainWindow.controls) control.handle = nullptr;
    QuitIfLoopRunning();
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: OnCommand(wParam, lParam); return 0;
    case WM_NOTIFY: return OnNotify(lParam);
    case WM_CTLCOLORSTATIC: return OnControlColour(window, message, wParam, lParam);
    case WM_ACTIVATE: OnActivate(wParam); return 0;
    case WM_CLOSE: OnClose(window); return 0;
    case WM_QUERYENDSESSION: return OnQueryEndSession(window, wParam, lParam);
    case WM_DESTROY: OnDestroy(); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

// Key state of the left-button-released event: 1 Ctrl, 2 Shift, 4 Alt.
std::int32_t KeyState(WPARAM wParam) {
    return ((wParam & MK_CONTROL) ? 1 : 0) | ((wParam & MK_SHIFT) ? 2 : 0) | (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

LRESULT CALLBACK PictureBoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    ControlState* control = ControlOfHandle(box);
    if (message == WM_LBUTTONUP && control)
        Raise(control->definition->object, EventKind::LeftButtonReleased, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam),
              KeyState(wParam));
    return DefSubclassProc(box, message, wParam, lParam);
}

}  // namespace

WindowState& MainWindowState() { return mainWindow; }

ControlState* FindControl(int object) {
    if (object < 1 || object > static_cast<int>(mainWindow.controls.size())) return nullptr;
    return &mainWindow.controls[object - 1];
}

bool MayShow(const ControlState& control) {
    int page = control.definition->page;
    return control.visible && (page == kNoPage || page == mainWindow.selectedPage);
}

void RaiseEvent(EventRecord& event) {
    for (const EventBinding& binding : mainWindow.definition.events)
        if (binding.object == event.object && binding.event == event.event) {
            binding.handler(event);
            return;
        }
}

void OpenMainWindow(const WindowDefinition& window) {
    if (mainWindow.handle) {
        if (IsIconic(mainWindow.handle)) ShowWindow(mainWindow.handle, SW_RESTORE);
        else SetActiveWindow(mainWindow.handle);
        return;
    }
    if (!BuildWindow(window)) FatalError("程序窗口无法建立，程序将退出。");
    Raise(kMainWindow, EventKind::Created);
    if (!mainWindow.handle) return;
    ShowWindow(mainWindow.handle, SW_SHOW);
    FocusFirstControl();
}

}  // namespace host
