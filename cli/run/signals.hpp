// Signals during a run. Ctrl-C and SIGTERM: the first one cancels the run in
// progress through the library, so what was measured is kept; a second one
// leaves at once. SIGHUP (the terminal went away) leaves at once too. Leaving
// at once removes every temporary output file first, so existing files stay
// as they were.
#pragma once

#include "tarnwick.hpp"

namespace tarnwick {

// Installs the handlers for SIGINT, SIGTERM, SIGHUP and SIGWINCH.
void install_signal_handlers();

// For commands with nothing to keep on the way: SIGINT, SIGTERM and SIGHUP
// leave at once, every temporary output file removed.
void install_leaving_handlers();

// The benchmark a signal cancels; nullptr when no run is in progress. A
// signal that arrived before a benchmark was published cancels it on
// publication.
void publish_benchmark(Benchmark* benchmark);
void withdraw_benchmark();

// True once a first SIGINT or SIGTERM has arrived.
[[nodiscard]] bool interrupted();

// True once after each change of the terminal's size.
[[nodiscard]] bool terminal_resized();

}  // namespace tarnwick
