#pragma once

#include <cstdint>
#include <string>

#include "config_oracle.hpp"
#include "tarnwick.h"

namespace tarnwick::reliability {

// Runs the 32 bytes of `record` (null: a null config) through tarnwick_run
// on a fresh handle cancelled beforehand, and compares everything the
// handle then reports with the oracle's expectation. `workers` is the worker
// count of benchmark 2 on this machine. With `try_again`, a second attempt
// on the same handle must be refused and change nothing. Returns what
// differed, or an empty text; `reason` receives the reason text read back.
[[nodiscard]] std::string check_cancelled_run(const unsigned char* record, std::uint32_t workers,
                                              bool try_again = false,
                                              std::string* reason = nullptr);

// The worker count of benchmark 2, from a run cancelled before it starts.
[[nodiscard]] std::uint32_t benchmark_two_workers();

// The record as hex words and its durations, for failure messages.
[[nodiscard]] std::string describe_record(const unsigned char* record);

}  // namespace tarnwick::reliability
