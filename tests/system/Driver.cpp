#include "tests/system/Driver.h"

#include "host/WindowDefinition.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace driver {
namespace {

std::string NewFolder() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int counter = 0;
    std::string folder =
        std::string(temp) + "hotspot-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

void RemoveFolder(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = folder + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveFolder(path);
            else DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

struct WindowSearch {
    DWORD processId;
    const char* className;  // null: any class
    const char* title;      // null: any title
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId || !IsWindowVisible(window)) return TRUE;
    char text[256] = {};
    if (search.className && (GetClassNameA(window, text, sizeof text), std::string(text) != search.className)) return TRUE;
    if (search.title && (GetWindowTextA(window, text, sizeof text), std::string(text) != search.title)) return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindVisibleWindow(DWORD processId, const char* className, const char* title) {
    WindowSearch search{processId, className, title, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
    auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

ProgramUnderTest::ProgramUnderTest(const char* programPath, const char* windowTitle)
    : folder_(NewFolder()), program_(PathOf(FileName(programPath).c_str())), windowTitle_(windowTitle) {
    CopyFileA(programPath, program_.c_str(), FALSE);
    CopyFileA(FAKE_NETSH_EXE, PathOf("netsh.exe").c_str(), FALSE);
    CopyFileA(FAKE_CONTROL_EXE, PathOf("control.exe").c_str(), FALSE);
    SetFake(L"HOTSPOT_FAKE_LOG", std::wstring(folder_.begin(), folder_.end()) + L"\\netsh.log");
    for (const wchar_t* name : {L"HOTSPOT_FAKE_SHOW_LOG", L"HOTSPOT_FAKE_DELAY_MS", L"HOTSPOT_FAKE_FAIL_ON",
                                L"HOTSPOT_FAKE_EXIT", L"HOTSPOT_FAKE_OUTPUT"})
        SetEnvironmentVariableW(name, nullptr);
}

ProgramUnderTest::~ProgramUnderTest() {
    if (process_.hProcess) {
        if (Running()) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
    RemoveFolder(folder_);
}

void ProgramUnderTest::SetFake(const wchar_t* name, const std::wstring& value) {
    SetEnvironmentVariableW(name, value.c_str());
}

// Detached, so that a console child of the program gets a console of its own, whose window
// shows whether the program asked for it hidden.
void ProgramUnderTest::Start(const std::string& arguments, const char* currentDirectory) {
    std::string line = "\"" + program_ + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                   currentDirectory ? currentDirectory : folder_.c_str(), &startup, &process_);
}

HWND ProgramUnderTest::WaitForWindow(Clock::duration timeout) {
    WaitUntil([&] { return (window_ = FindVisibleWindow(process_.dwProcessId, nullptr, windowTitle_.c_str())) != nullptr; },
              timeout);
    return window_;
}

bool ProgramUnderTest::HasVisibleWindow() const {
    return FindVisibleWindow(process_.dwProcessId, nullptr, nullptr) != nullptr;
}

HWND ProgramUnderTest::Control(int object) const { return GetDlgItem(window_, host::kFirstControlId + object); }

std::string ProgramUnderTest::Text(int object) const {
    char text[1024] = {};
    SendMessageTimeoutA(Control(object), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000,
                        nullptr);
    return text;
}

bool ProgramUnderTest::Visible(int object) const { return IsWindowVisible(Control(object)); }
bool ProgramUnderTest::Enabled(int object) const { return IsWindowEnabled(Control(object)); }

bool ProgramUnderTest::Checked(int object) const {
    DWORD_PTR state = 0;
    SendMessageTimeoutA(Control(object), BM_GETCHECK, 0, 0, SMTO_NORMAL, 5000, &state);
    return state == BST_CHECKED;
}

void ProgramUnderTest::SetText(int object, const std::string& text) {
    SendMessageTimeoutA(Control(object), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, 5000,
                        nullptr);
}

// Posted, so a handler that blocks or opens a message box does not block the driver.
void ProgramUnderTest::Click(int object) { PostMessageA(Control(object), BM_CLICK, 0, 0); }

std::vector<COLORREF> ProgramUnderTest::Pixels(int object) const {
    RECT box;
    GetWindowRect(Control(object), &box);
    int width = box.right - box.left, height = box.bottom - box.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, box.left, box.top, SRCCOPY);
    std::vector<COLORREF> pixels;
    auto* quad = static_cast<const RGBQUAD*>(bits);
    for (int i = 0; i < width * height; ++i) pixels.push_back(RGB(quad[i].rgbRed, quad[i].rgbGreen, quad[i].rgbBlue));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Anti-aliased text: count the pixels that lean clearly towards red or green.
Hue ProgramUnderTest::LabelHue(int object) const {
    int red = 0, green = 0;
    for (COLORREF pixel : Pixels(object)) {
        int r = GetRValue(pixel), g = GetGValue(pixel), b = GetBValue(pixel);
        red += r > g + 80 && r > b + 80;
        green += g > r + 80 && g > b + 80;
    }
    if (red > 5 && red > 3 * green) return Hue::Red;
    if (green > 5 && green > 3 * red) return Hue::Green;
    return Hue::None;
}

bool ProgramUnderTest::Responds(UINT timeoutMs) const {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

HWND ProgramUnderTest::FindMessageBox() const { return FindVisibleWindow(process_.dwProcessId, "#32770", nullptr); }

std::optional<MessageBoxSeen> ProgramUnderTest::WaitForMessageBox(Clock::duration timeout) {
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindMessageBox()) != nullptr; }, timeout)) return std::nullopt;
    char caption[256] = {}, text[4096] = {};
    GetWindowTextA(box, caption, sizeof caption);
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message text of a message box
    return MessageBoxSeen{caption, text};
}

void ProgramUnderTest::DismissMessageBox() {
    HWND box = FindMessageBox();
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); });
}

void ProgramUnderTest::RequestClose() { PostMessageA(window_, WM_CLOSE, 0, 0); }

bool ProgramUnderTest::Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> ProgramUnderTest::WaitForExit(Clock::duration timeout) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

std::vector<std::string> ProgramUnderTest::ReadLines(const char* file) const {
    std::ifstream stream(PathOf(file), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

}  // namespace driver
