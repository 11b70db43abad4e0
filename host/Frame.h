// The host's internal frame: shared between the process frame and the window side.
#pragma once

#include <cstdint>

namespace host {

void RunExitSequence();
[[noreturn]] void FatalError(const char* text);

// The value of the message loop's quit message: the process exit code.
std::uintptr_t QuitCode();

}  // namespace host
