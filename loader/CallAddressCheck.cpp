// Calls a stdcall and a cdecl routine through CallAddress many times and checks each result.
// Built in both trees, this proves that the i686 thunk links; run on 32-bit Windows it shows
// that neither convention moves the caller's stack (a drift would crash or break the sums).
#include "loader/CallAddress.h"

#include <cstdint>

namespace {

uintptr_t __stdcall WeighedByCallee(uintptr_t a, uintptr_t b, uintptr_t c) { return a + 2 * b + 3 * c; }

uintptr_t __cdecl WeighedByCaller(uintptr_t a, uintptr_t b, uintptr_t c) { return a + 2 * b + 3 * c; }

}  // namespace

int main() {
    for (uintptr_t i = 0; i < 1000; ++i) {
        const uintptr_t expected = i + 2 * (i + 1) + 3 * (i + 2);
        if (loader::CallAddress(reinterpret_cast<uintptr_t>(&WeighedByCallee), i, i + 1, i + 2) != expected) return 1;
        if (loader::CallAddress(reinterpret_cast<uintptr_t>(&WeighedByCaller), i, i + 1, i + 2) != expected) return 2;
    }
    return 0;
}
