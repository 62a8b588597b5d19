#include "handle.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick {

Stored make_stored(Outcome outcome) {
  std::string text = outcome.reason;
  // A C host reads up to the first NUL; spaces keep the whole reason visible.
  std::replace(text.begin(), text.end(), '\0', ' ');
  return Stored{std::move(outcome), std::move(text)};
}

}  // namespace tarnwick
