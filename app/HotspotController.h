// The start and stop clicks and the two user-interface states: stopped and running. The status
// label's caption is the state; nothing else records it.
#pragma once

#include "host/WindowDefinition.h"

namespace app {

void OnStartClicked(host::EventRecord& event);
void OnStopClicked(host::EventRecord& event);

// True while a start click runs its sequence; its settle delay lets other handlers run nested.
bool StartInProgress();

// The stopped state's status, as the window opens.
void ShowStoppedStatus();

// Re-applies the hosted-network configuration for the boxes' texts, without checks or reports.
void ConfigureSilently();

}  // namespace app
