// The Prometheus text's figures are the repetition summary's: one series
// per label, whatever worker counts its runs reported.
#include "formats/prometheus.hpp"

#include <gtest/gtest.h>

#include <string>

#include "document/repetition_summary.hpp"
#include "make_run.hpp"

namespace tarnwick {
namespace {

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return found;
}

TEST(PrometheusText, RateMediansComeFromTheRepetitionSummary) {
  RunReport failed;
  failed.id = "f";
  failed.label = "all-cpus";
  failed.repetition = 3;
  failed.result.status = Status::failed;  // refused before it had workers
  std::vector<RunReport> runs = {completed_run({1000}), completed_run({3900}, 4, "all-cpus"),
                                 completed_run({1200}), completed_run({4100}, 4, "all-cpus"),
                                 completed_run({1100}), failed};
  for (std::size_t i = 0; i < runs.size() - 1; ++i)
    runs[i].repetition = 1 + static_cast<unsigned>(i / 2);
  const Session session = session_of(runs);
  const std::string text = prometheus_text(session);
  const auto summaries = summarize_repetitions(session);
  ASSERT_EQ(summaries.size(), 2u);
  EXPECT_EQ(lines_starting(text, "tarnwick_steps_per_second{"),
            (std::vector<std::string>{
                fmt::format("tarnwick_steps_per_second{{label=\"all-cpus\",workers=\"4\"}} {}",
                            summaries[1].median_mean_rate),
                fmt::format("tarnwick_steps_per_second{{label=\"single\",workers=\"1\"}} {}",
                            summaries[0].median_mean_rate)}));
  EXPECT_DOUBLE_EQ(summaries[0].median_mean_rate, 1100.0);
  // The failed run is one of its label's runs, not a series of its own.
  EXPECT_EQ(lines_starting(text, "tarnwick_status{"),
            (std::vector<std::string>{"tarnwick_status{label=\"all-cpus\",workers=\"4\"} 2",
                                      "tarnwick_status{label=\"single\",workers=\"1\"} 0"}));
  EXPECT_EQ(lines_starting(text, "tarnwick_runs{"),
            (std::vector<std::string>{"tarnwick_runs{label=\"all-cpus\",workers=\"4\"} 2",
                                      "tarnwick_runs{label=\"single\",workers=\"1\"} 3"}));
  EXPECT_EQ(text.find("workers=\"0\""), std::string::npos) << text;
}

TEST(PrometheusText, ALabelWithoutACompletedRunHasOnlyItsStatus) {
  RunReport failed;
  failed.label = "single";
  failed.result.status = Status::failed;
  const std::string text = prometheus_text(session_of({failed}));
  EXPECT_TRUE(lines_starting(text, "tarnwick_steps_per_second{").empty());
  EXPECT_EQ(lines_starting(text, "tarnwick_status{"),
            (std::vector<std::string>{"tarnwick_status{label=\"single\",workers=\"0\"} 2"}));
  EXPECT_EQ(lines_starting(text, "tarnwick_runs{"),
            (std::vector<std::string>{"tarnwick_runs{label=\"single\",workers=\"0\"} 0"}));
}

TEST(Prometheus, EscapesLabelValues) {
  EXPECT_EQ(prometheus_label_value("Xeon \"Gold\" C:\\x\nnext"),
            "Xeon \\\"Gold\\\" C:\\\\x\\nnext");
  Session session;
  session.version = "0.0.2";
  session.environment.cpu.model = "CPU \"A\"";
  EXPECT_NE(prometheus_text(session).find("cpu_model=\"CPU \\\"A\\\"\""), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
