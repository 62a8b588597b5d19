#include "store/location.hpp"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(HistoryLocation, FollowsTheOptionThenTheVariableThenXdgThenTheHomes) {
  struct Case {
    LocationInputs inputs;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {{"h.db", "/v/h.db", "/xdg", "/home/a", "/pw"}, "h.db"},
      {{"", "/v/h.db", "/xdg", "/home/a", "/pw"}, "/v/h.db"},
      {{"", "", "/xdg", "/home/a", "/pw"}, "/xdg/tarnwick/history.db"},
      // A relative XDG_DATA_HOME is ignored, as the XDG rules say.
      {{"", "", "xdg", "/home/a", "/pw"}, "/home/a/.local/share/tarnwick/history.db"},
      // A service started without HOME: the password database's home.
      {{"", "", "", "", "/var/lib/ci"}, "/var/lib/ci/.local/share/tarnwick/history.db"},
      {{"", "", "", "relative", "/var/lib/ci"}, "/var/lib/ci/.local/share/tarnwick/history.db"},
      {{"", "", "", "", ""}, std::nullopt},
  };
  for (const Case& one : cases) {
    EXPECT_EQ(choose_history_path(one.inputs), one.path) << one.inputs.home;
  }
}

}  // namespace
}  // namespace tarnwick
