#include "util/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

namespace tarnwick {
namespace {

TEST(ValidUtf8, ReplacesEveryBadByteAsTheDocumentDoes) {
  const struct {
    std::string raw, expected;
  } cases[] = {
      {"Intel(R) Xeon(R)", "Intel(R) Xeon(R)"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad \xff byte", "bad \xef\xbf\xbd byte"},
      {"cut \xc3", "cut \xef\xbf\xbd"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valid_utf8(c.raw), c.expected) << c.raw;
    // The same text the document holds for the same bytes.
    const std::string in_document =
        nlohmann::json::parse(json_text(nlohmann::ordered_json(c.raw), Layout::one_line))
            .get<std::string>();
    EXPECT_EQ(valid_utf8(c.raw), in_document) << c.raw;
  }
}

TEST(JsonText, AStreamGetsOneLineAFileIsIndented) {
  const nlohmann::ordered_json document = {
      {"a", 1}, {"b", {1, 2}}, {"c", or_null(std::optional<int>{})}};
  const std::string line = json_text(document, Layout::one_line);
  EXPECT_EQ(line, "{\"a\":1,\"b\":[1,2],\"c\":null}\n");
  const std::string indented = json_text(document, Layout::indented);
  EXPECT_GT(std::count(indented.begin(), indented.end(), '\n'), 3);
  EXPECT_EQ(nlohmann::ordered_json::parse(indented), document);
}

}  // namespace
}  // namespace tarnwick
