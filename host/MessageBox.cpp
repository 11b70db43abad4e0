#include "host/Host.h"

#include <windows.h>

namespace host {

// Task-modal unless system-modal was asked for: no window of the program takes input meanwhile.
// The result numbers the buttons from 0: IDOK 0, IDCANCEL 1, ... IDNO 6.
int ShowMessageBox(const Text& text, int flags, const Text& caption) {
    UINT style = static_cast<UINT>(flags);
    if (!(style & MB_SYSTEMMODAL)) style |= MB_TASKMODAL;
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), style) - IDOK;
}

}  // namespace host
