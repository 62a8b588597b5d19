// One run through the library: a fresh handle, the live display, the signal
// hook, and everything the handle stored, copied out before it is freed.
#pragma once

#include <string>

#include "document/model.hpp"
#include "run/progress.hpp"
#include "tarnwick.h"

namespace tarnwick {

// The display must have begun this run (ProgressDisplay::begin).
[[nodiscard]] RunReport run_once(const tarnwick_config_t& config, const std::string& label,
                                 ProgressDisplay& display);

}  // namespace tarnwick
