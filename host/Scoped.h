// Owners for Win32 handles: each closes or releases what it holds when it goes out of scope,
// so functions that open something need no clean-up on their early returns.
#pragma once

#include <windows.h>

#include <utility>

namespace host {

template <typename Traits>
class Scoped {
public:
    using Handle = typename Traits::Handle;

    Scoped() = default;
    explicit Scoped(Handle handle) : handle_(handle) {}
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Scoped(Scoped&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
    Scoped& operator=(Scoped&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.handle_, Traits::Invalid()));
        return *this;
    }
    ~Scoped() { Reset(); }

    Handle Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Invalid(); }
    void Reset(Handle handle = Traits::Invalid()) {
        if (Valid()) Traits::Close(handle_);
        handle_ = handle;
    }
    Handle Release() { return std::exchange(handle_, Traits::Invalid()); }

private:
    Handle handle_ = Traits::Invalid();
};

// Handles that CreateProcess, CreatePipe and CreateWaitableTimer give: NULL when absent.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { CloseHandle(handle); }
};
using ScopedHandle = Scoped<KernelHandleTraits>;

// Handles that CreateFile and FindFirstFile give: INVALID_HANDLE_VALUE when absent.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { CloseHandle(handle); }
};
using ScopedFile = Scoped<FileHandleTraits>;

struct GdiObjectTraits {
    using Handle = HGDIOBJ;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { DeleteObject(handle); }
};
using ScopedGdiObject = Scoped<GdiObjectTraits>;

}  // namespace host
