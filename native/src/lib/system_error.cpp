#include <string.h>

#include <string>
#include <utility>

#include "runtime.hpp"

namespace tarnwick {

namespace {

// strerror_r comes in two shapes depending on the C library's feature macros:
// the GNU one returns the text (maybe not in the buffer), the XSI one fills the
// buffer and returns 0 on success. Overloading on the return type accepts
// whichever this build sees.
[[maybe_unused]] const char* pick_text(const char* text, const char* /*buffer*/) { return text; }
[[maybe_unused]] const char* pick_text(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}

std::string describe(int code) {
  char buffer[256] = {};
  const char* text = pick_text(strerror_r(code, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

}  // namespace

SystemError SystemError::from_code(int code) {
  return SystemError{code, describe(code) + " (os error " + std::to_string(code) + ")"};
}

SystemError SystemError::message(std::string text) { return SystemError{0, std::move(text)}; }

}  // namespace tarnwick
