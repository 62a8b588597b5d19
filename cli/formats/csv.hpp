// The samples as CSV: one header line, then one line per sample of every
// run, doubles written so that they read back exactly. The repetition
// index comes last, so readers of the first seven columns are unaffected.
#pragma once

#include <string>

#include "document/model.hpp"

namespace tarnwick {

[[nodiscard]] std::string samples_csv(const Session& session);

}  // namespace tarnwick
