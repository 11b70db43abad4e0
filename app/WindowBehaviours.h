// The main window's smaller behaviours.
#pragma once

#include "host/WindowDefinition.h"

namespace app {

// Refuses to close while the hotspot runs, or while a start sequence is still in progress.
void OnCanBeClosed(host::EventRecord& event);

}  // namespace app
