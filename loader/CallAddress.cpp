#include "CallAddress.h"

#if defined(__i386__)

// Pushes the ten slots (a10 first, so a1 lies lowest), calls the routine and takes the stack
// pointer back from EBP: a stdcall routine has removed some or all of the slots by then, a
// cdecl routine none of them.
asm(R"(
    .text
    .globl _LoaderCallTenSlots
    .def _LoaderCallTenSlots; .scl 2; .type 32; .endef
_LoaderCallTenSlots:
    pushl %ebp
    movl %esp, %ebp
    pushl 48(%ebp)
    pushl 44(%ebp)
    pushl 40(%ebp)
    pushl 36(%ebp)
    pushl 32(%ebp)
    pushl 28(%ebp)
    pushl 24(%ebp)
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call *8(%ebp)
    movl %ebp, %esp
    popl %ebp
    ret
)");

extern "C" uintptr_t LoaderCallTenSlots(uintptr_t address, uintptr_t a1, uintptr_t a2, uintptr_t a3,
                                        uintptr_t a4, uintptr_t a5, uintptr_t a6, uintptr_t a7,
                                        uintptr_t a8, uintptr_t a9, uintptr_t a10);

namespace loader {

uintptr_t CallAddress(uintptr_t address, uintptr_t a1, uintptr_t a2, uintptr_t a3, uintptr_t a4,
                      uintptr_t a5, uintptr_t a6, uintptr_t a7, uintptr_t a8, uintptr_t a9, uintptr_t a10) {
    return LoaderCallTenSlots(address, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
}

}  // namespace loader

#else

namespace loader {

// The x86-64 convention has one calling convention and the caller removes the arguments, so
// a routine with fewer parameters simply ignores the rest.
uintptr_t CallAddress(uintptr_t address, uintptr_t a1, uintptr_t a2, uintptr_t a3, uintptr_t a4,
                      uintptr_t a5, uintptr_t a6, uintptr_t a7, uintptr_t a8, uintptr_t a9, uintptr_t a10) {
    using Routine = uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                  uintptr_t, uintptr_t, uintptr_t, uintptr_t);
    return reinterpret_cast<Routine>(address)(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
}

}  // namespace loader

#endif
