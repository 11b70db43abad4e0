// The process entry of a program built on the host: initialise, run the program's entry
// routine, then the exit sequence.
#include "host/Frame.h"
#include "host/Host.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    host::InitializeHost();
    ProgramEntry();
    host::RunExitSequence();
    return static_cast<int>(host::QuitCode());
}
