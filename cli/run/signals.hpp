// Ctrl-C and SIGTERM: the first one cancels the run in progress through the
// library, so what was measured is kept; a second one leaves at once.
#pragma once

#include "tarnwick.h"

namespace tarnwick {

// Installs the handlers for SIGINT and SIGTERM.
void install_signal_handlers();

// The handle a signal cancels; nullptr when no run is in progress. A signal
// that arrived before a handle was published cancels it on publication.
void publish_handle(tarnwick_handle_t* handle);
void withdraw_handle();

// True once a first SIGINT or SIGTERM has arrived.
[[nodiscard]] bool interrupted();

}  // namespace tarnwick
