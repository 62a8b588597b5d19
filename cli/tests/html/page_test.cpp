#include "html/page.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "html/chart_library.hpp"

namespace tarnwick {
namespace {

// The data island as the browser reads it: the text between the element's
// tags, parsed as JSON.
nlohmann::json island(const std::string& page) {
  const std::string open = R"(<script type="application/json" id="data">)";
  const size_t start = page.find(open);
  EXPECT_NE(start, std::string::npos);
  const size_t from = start + open.size();
  const size_t end = page.find("</script>", from);
  return nlohmann::json::parse(page.substr(from, end - from));
}

// The figures a page embeds are written as the decimals they stand for,
// with no float noise in the JSON.
TEST(PageFigures, RoundToTheDecimalTheyCarry) {
  const struct {
    double value;
    int significant;
    const char* json;
  } cases[] = {
      {166012.40000000002, 7, "166012.4"},
      {166012.4, 5, "166010.0"},
      {0.1 + 0.2, 3, "0.3"},
      {-2.0549999, 3, "-2.05"},
      {51234567.89, 6, "51234600.0"},
      {0.000123456, 2, "0.00012"},
      {0.0, 5, "0.0"},
  };
  for (const auto& item : cases) {
    EXPECT_EQ(nlohmann::json(round_significant(item.value, item.significant)).dump(), item.json)
        << item.value;
  }
  EXPECT_EQ(nlohmann::json(round_decimals(12.345678, 2)).dump(), "12.35");
  EXPECT_EQ(nlohmann::json(round_decimals(-0.125, 1)).dump(), "-0.1");
  EXPECT_EQ(nlohmann::json(round_decimals(1234.5, -2)).dump(), "1200.0");
  EXPECT_TRUE(std::isnan(round_significant(std::nan(""), 4)));
}

TEST(ScriptJson, NoStringCanEndTheScriptAndEveryStringSurvives) {
  const std::string hostile[] = {
      "</script><script>alert(1)</script>",
      "<!-- <script>",
      "a & b > c",
      "line\xe2\x80\xa8separator\xe2\x80\xa9paragraph",
      "</SCRIPT >",
  };
  nlohmann::json data = nlohmann::json::array();
  for (const auto& text : hostile) data.push_back({{text, text}});
  const std::string json = script_json(data);
  for (const char* forbidden : {"<", ">", "&", "\xe2\x80\xa8", "\xe2\x80\xa9"}) {
    EXPECT_EQ(json.find(forbidden), std::string::npos) << forbidden;
  }
  EXPECT_EQ(nlohmann::json::parse(json), data);

  // In a page, every string is shown as printable() shows it.
  HtmlPage page;
  page.data = data;
  const nlohmann::json island_data = island(html_page(page));
  ASSERT_EQ(island_data.size(), data.size());
  EXPECT_EQ(island_data[0], data[0]);
  EXPECT_EQ(island_data[3]["line\xe2\x80\xa8separator\xe2\x80\xa9paragraph"],
            "line<U+2028>separator<U+2029>paragraph");
}

TEST(ScriptJson, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const nlohmann::json parsed = nlohmann::json::parse(script_json({{"host",
                                                                    "a\xff"
                                                                    "b"}}));
  EXPECT_EQ(parsed["host"],
            "a\xef\xbf\xbd"
            "b");
}

TEST(HtmlEscape, MarkupAndQuotesBecomeEntities) {
  EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(html_escape("plain host-01"), "plain host-01");
}

TEST(HtmlPage, CarriesTheLibraryItsLicenceAndAPolicyAgainstLoads) {
  HtmlPage page;
  page.title = "a <title>";
  const std::string html = html_page(page);
  EXPECT_NE(html.find("<title>a &lt;title&gt;</title>"), std::string::npos);
  EXPECT_NE(html.find(chart_library()), std::string::npos);
  EXPECT_NE(html.find(chart_library_licence()), std::string::npos);
  EXPECT_NE(html.find("Permission is hereby granted"), std::string::npos);
  EXPECT_NE(html.find("Content-Security-Policy"), std::string::npos);
  EXPECT_NE(html.find("default-src 'none'"), std::string::npos);
  // The whole library, not a prefix of it: it ends with its last statement.
  EXPECT_GT(chart_library().size(), 100000u);
  EXPECT_NE(chart_library().find("Chart.js v3."), std::string_view::npos);
}

}  // namespace
}  // namespace tarnwick
