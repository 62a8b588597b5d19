// The samples as CSV: one header line, then one line per sample of every
// run, doubles written so that they read back exactly. The repetition
// index and then what competed during the sample (empty where the machine
// gave no figure, and "disturbed" 1 for a second past the disturbance
// thresholds) come last, so readers of the first seven columns are
// unaffected.
#pragma once

#include <string>

#include "document/model.hpp"

namespace tarnwick {

[[nodiscard]] std::string samples_csv(const Session& session);

}  // namespace tarnwick
