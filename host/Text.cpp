#include "host/Text.h"

#include <windows.h>

#include <string>

namespace host {
namespace {

std::wstring ToWide(const std::string& bytes, UINT codePage) {
    int count = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), count);
    return wide;
}

std::string FromWide(const std::wstring& wide, UINT codePage) {
    int count = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), count, nullptr, nullptr);
    return bytes;
}

}  // namespace

Text OemToAnsi(const std::string& oemBytes) {
    if (GetOEMCP() == GetACP()) return oemBytes;
    return FromWide(ToWide(oemBytes, CP_OEMCP), CP_ACP);
}

int TextLength(const Text& text) { return static_cast<int>(std::char_traits<char>::length(text.c_str())); }

}  // namespace host
