// Signals during a run. Ctrl-C and SIGTERM: the first one cancels the run in
// progress through the library, so what was measured is kept; a second one
// leaves at once. SIGHUP (the terminal went away) leaves at once too. Leaving
// at once removes every temporary output file first, so existing files stay
// as they were.
#pragma once

#include <string>
#include <vector>

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

// The outputs a command is about to write, in the order it writes them
// ("--output run.json", "--json"): until output_written() has been called
// for each, a signal that ends the program says on standard error which of
// them it did not write. An empty list says nothing.
void expect_outputs(const std::vector<std::string>& outputs);
void output_written();

// True once a first SIGINT or SIGTERM has arrived.
[[nodiscard]] bool interrupted();

// True once after each change of the terminal's size.
[[nodiscard]] bool terminal_resized();

}  // namespace tarnwick
