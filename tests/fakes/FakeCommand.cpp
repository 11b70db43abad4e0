// Stands in for netsh.exe and control.exe in tests. Settings come from the environment, read
// with the wide API because Wine's GetEnvironmentVariableA cuts Chinese values short:
//   HOTSPOT_FAKE_LOG       file that receives the whole command line as one line, at exit
//   HOTSPOT_FAKE_SHOW_LOG  file that receives the STARTUPINFO flags and show state, one line
//   HOTSPOT_FAKE_DELAY_MS  milliseconds to sleep before doing anything else
//   HOTSPOT_FAKE_FAIL_ON   a text; when the command line holds it (or it is unset), the exit
//                          code and output below apply, otherwise the fake exits 0 silently
//   HOTSPOT_FAKE_EXIT      exit code
//   HOTSPOT_FAKE_OUTPUT    text written to standard output in the OEM code page
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

bool Setting(const wchar_t* name, std::wstring& value) {
    wchar_t buffer[4096];
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    if (length == 0 || length >= 4096) return false;
    value.assign(buffer, length);
    return true;
}

std::string Encode(const std::wstring& text, UINT codePage) {
    int count = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), count, nullptr, nullptr);
    return bytes;
}

void AppendLine(const std::wstring& file, const std::string& line) {
    HANDLE handle = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(handle);
}

void WriteOutput(const std::wstring& text) {
    std::string bytes = Encode(text, CP_OEMCP);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int main() {
    std::wstring value;
    if (Setting(L"HOTSPOT_FAKE_DELAY_MS", value)) Sleep(static_cast<DWORD>(_wtoi(value.c_str())));
    if (Setting(L"HOTSPOT_FAKE_SHOW_LOG", value)) {
        STARTUPINFOW startup{};
        GetStartupInfoW(&startup);
        AppendLine(value, std::to_string(startup.dwFlags) + " " + std::to_string(startup.wShowWindow));
    }
    // The raw ANSI command line: the bytes the program passed, GBK included.
    if (Setting(L"HOTSPOT_FAKE_LOG", value)) AppendLine(value, GetCommandLineA());
    std::wstring failOn;
    std::wstring commandLine = GetCommandLineW();
    bool fails = !Setting(L"HOTSPOT_FAKE_FAIL_ON", failOn) || commandLine.find(failOn) != std::wstring::npos;
    if (!fails) return 0;
    if (Setting(L"HOTSPOT_FAKE_OUTPUT", value)) WriteOutput(value);
    return Setting(L"HOTSPOT_FAKE_EXIT", value) ? _wtoi(value.c_str()) : 0;
}
