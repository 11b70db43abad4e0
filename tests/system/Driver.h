// Drives a program under test as a user would: starts it in a fresh folder beside the fake
// commands, acts through the messages that user input produces, and reads back what a user sees.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace driver {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls a condition until it holds or the time is up; answers whether it held.
bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout = 5s);

struct MessageBoxSeen {
    std::string caption;
    std::string text;
};

enum class Hue { None, Red, Green };

class ProgramUnderTest {
public:
    // Copies the program (and, for the hotspot, the fake netsh and control) into a new folder.
    explicit ProgramUnderTest(const char* programPath = HOTSPOT_EXE, const char* windowTitle = "星澜网桥V2.0");
    ~ProgramUnderTest();
    ProgramUnderTest(const ProgramUnderTest&) = delete;
    ProgramUnderTest& operator=(const ProgramUnderTest&) = delete;

    const std::string& Folder() const { return folder_; }
    std::string PathOf(const char* file) const { return folder_ + "\\" + file; }
    // Settings for the fakes, passed down through the program's environment.
    void SetFake(const wchar_t* name, const std::wstring& value);

    void Start(const std::string& arguments = "", const char* currentDirectory = nullptr);
    HWND WaitForWindow(Clock::duration timeout = 10s);
    bool HasVisibleWindow() const;
    HWND Window() const { return window_; }

    HWND Control(int object) const;
    std::string Text(int object) const;
    bool Visible(int object) const;
    bool Enabled(int object) const;
    bool Checked(int object) const;
    void SetText(int object, const std::string& text);
    void Click(int object);  // as a completed mouse click on the control
    Hue LabelHue(int object) const;
    // A grab of the control's pixels from the screen.
    std::vector<COLORREF> Pixels(int object) const;
    // Whether the window answers a message within the time.
    bool Responds(UINT timeoutMs = 300) const;

    std::optional<MessageBoxSeen> WaitForMessageBox(Clock::duration timeout = 5s);
    void DismissMessageBox();

    void RequestClose();
    bool Running() const;
    // The exit code, or nullopt when the process has not ended in time.
    std::optional<DWORD> WaitForExit(Clock::duration timeout = 5s);

    std::vector<std::string> ReadLines(const char* file) const;
    std::vector<std::string> NetshLog() const { return ReadLines("netsh.log"); }

private:
    HWND FindMessageBox() const;

    std::string folder_;
    std::string program_;
    std::string windowTitle_;
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

}  // namespace driver
