// A run's or a document's status read back from its name, the inverse of
// the library's name(Status).
#pragma once

#include <optional>
#include <string_view>

#include "tarnwick.hpp"

namespace tarnwick {

// The status `text` names ("completed", "cancelled", "failed"); nullopt for
// any other text.
[[nodiscard]] constexpr std::optional<Status> parse_status(std::string_view text) noexcept {
  for (const Status status : {Status::completed, Status::cancelled, Status::failed}) {
    if (text == name(status)) return status;
  }
  return std::nullopt;
}

}  // namespace tarnwick
