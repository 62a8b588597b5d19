#include <errno.h>
#include <gtest/gtest.h>

#include "runtime.hpp"

namespace tarnwick {
namespace {

TEST(SystemError, RendersTheDescriptionAndTheCode) {
  const std::pair<int, const char*> cases[] = {
      {EAGAIN, "Resource temporarily unavailable (os error 11)"},
      {ENOENT, "No such file or directory (os error 2)"},
      {98765, "Unknown error 98765 (os error 98765)"},
  };
  for (const auto& [code, text] : cases) {
    const SystemError e = SystemError::from_code(code);
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.text, text);
  }
  const SystemError m = SystemError::message("no count");
  EXPECT_EQ(m.code, 0);
  EXPECT_EQ(m.text, "no count");
}

}  // namespace
}  // namespace tarnwick
