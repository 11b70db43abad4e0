// Calls routines of both i686 calling conventions through CallAddress and checks each result and
// the caller's stack pointer around each call. The 32-bit tree runs it under 32-bit Wine, where
// a stdcall routine removes its own slots and a cdecl one leaves them; the 64-bit tree runs it too.
// The exit code names the first check that failed.
#include "loader/CallAddress.h"

#include <cstdint>

namespace {

using Slot = uintptr_t;

Slot __stdcall ThreeRemovedByCallee(Slot a, Slot b, Slot c) { return a + 2 * b + 3 * c; }

Slot __cdecl ThreeLeftToCaller(Slot a, Slot b, Slot c) { return a + 2 * b + 3 * c; }

// Each slot gets its own weight, so a slot out of place changes the result.
Slot __stdcall TenRemovedByCallee(Slot a1, Slot a2, Slot a3, Slot a4, Slot a5, Slot a6, Slot a7, Slot a8,
                                  Slot a9, Slot a10) {
    return a1 + 3 * a2 + 5 * a3 + 7 * a4 + 11 * a5 + 13 * a6 + 17 * a7 + 19 * a8 + 23 * a9 + 29 * a10;
}

Slot __cdecl TenLeftToCaller(Slot a1, Slot a2, Slot a3, Slot a4, Slot a5, Slot a6, Slot a7, Slot a8, Slot a9,
                             Slot a10) {
    return TenRemovedByCallee(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
}

// A stack pointer that differs after the call means the thunk let a callee move it.
__attribute__((noinline)) Slot StackPointer() {
    Slot pointer;
#if defined(__i386__)
    asm volatile("leal 4(%%esp), %0" : "=r"(pointer));
#else
    asm volatile("leaq 8(%%rsp), %0" : "=r"(pointer));
#endif
    return pointer;
}

template <typename Routine>
Slot Address(Routine* routine) {
    return reinterpret_cast<Slot>(routine);
}

// 0 when every call returns its routine's result and leaves the stack pointer where it was.
int CheckCalls(Slot i) {
    const Slot before = StackPointer();
    const Slot three = i + 2 * (i + 1) + 3 * (i + 2);
    if (loader::CallAddress(Address(&ThreeRemovedByCallee), i, i + 1, i + 2) != three) return 1;
    if (loader::CallAddress(Address(&ThreeLeftToCaller), i, i + 1, i + 2) != three) return 2;
    const Slot ten = TenRemovedByCallee(i, 1, 2, 3, 4, 5, 6, 7, 8, 9);
    if (loader::CallAddress(Address(&TenRemovedByCallee), i, 1, 2, 3, 4, 5, 6, 7, 8, 9) != ten) return 3;
    if (loader::CallAddress(Address(&TenLeftToCaller), i, 1, 2, 3, 4, 5, 6, 7, 8, 9) != ten) return 4;
    if (StackPointer() != before) return 5;
    return 0;
}

}  // namespace

int main() {
    for (Slot i = 0; i < 1000; ++i) {
        if (const int failed = CheckCalls(i); failed != 0) return failed;
    }
    return 0;
}
