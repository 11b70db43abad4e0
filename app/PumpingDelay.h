#pragma once

#include <windows.h>

#include <cstdint>

namespace app {

// Waits the given number of microseconds on a waitable timer, dispatching window messages
// whenever any arrive, so the window stays responsive without polling.
void PumpingDelay(std::int32_t microseconds);

// The wait of PumpingDelay: ends when the timer is signalled, or at the deadline when there is no
// timer or waiting on it fails, dispatching messages meanwhile. Exposed for its failure paths.
void WaitDispatching(HANDLE timer, std::int32_t microseconds);

}  // namespace app
