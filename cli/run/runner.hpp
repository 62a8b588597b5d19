// One run through the library's C++ interface: a fresh Benchmark, the live
// display, the signal hook and the noise probe; the result is kept in the
// model's record form, which every output reads.
#pragma once

#include <string>

#include "document/model.hpp"
#include "run/progress.hpp"
#include "tarnwick.hpp"

namespace tarnwick {

// The display must have begun this run (ProgressDisplay::begin).
[[nodiscard]] RunReport run_once(const Config& config, const std::string& label,
                                 ProgressDisplay& display);

}  // namespace tarnwick
