#include "handle.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick {

Stored make_stored(Outcome outcome) noexcept {
  // Moved, not copied: storing the outcome of a run that ran out of memory
  // must not need memory itself.
  std::string text = std::move(outcome.reason);
  outcome.reason.clear();
  // A C host reads up to the first NUL; spaces keep the whole reason visible.
  std::replace(text.begin(), text.end(), '\0', ' ');
  return Stored{std::move(outcome), std::move(text)};
}

}  // namespace tarnwick
