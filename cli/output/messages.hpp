// Messages on standard error. A message that cannot be written (standard
// error closed or full) is lost; it never costs the run's results, which is
// what fmt::print's exception would do.
#pragma once

#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <utility>

namespace tarnwick {

template <typename... Args>
void tell(fmt::format_string<Args...> format, Args&&... args) noexcept {
  try {
    const std::string text = fmt::format(format, std::forward<Args>(args)...);
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), stderr));
  } catch (...) {
    // Out of memory for a message: nothing better to do with it.
  }
}

}  // namespace tarnwick
