// Calls code at an address with ten pointer-sized argument slots, first argument lowest.
#pragma once

#include <cstdint>

namespace loader {

// On i686 the ten slots are pushed on the stack and the caller's stack pointer is restored
// from its own frame afterwards, so routines of the stdcall convention (which remove their
// arguments) and of the cdecl convention (which do not) both return correctly. Missing
// arguments are 0; the result is the routine's return value.
uintptr_t CallAddress(uintptr_t address, uintptr_t a1 = 0, uintptr_t a2 = 0, uintptr_t a3 = 0,
                      uintptr_t a4 = 0, uintptr_t a5 = 0, uintptr_t a6 = 0, uintptr_t a7 = 0,
                      uintptr_t a8 = 0, uintptr_t a9 = 0, uintptr_t a10 = 0);

}  // namespace loader
