#include "stats/welch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tarnwick {
namespace {

// Rates whose logarithms are the given values, so the arithmetic below can
// be done on the logarithms by hand.
std::vector<double> rates_of_logs(const std::vector<double>& logs) {
  std::vector<double> rates;
  rates.reserve(logs.size());
  for (const double log : logs) rates.push_back(1000 * std::exp(log));
  return rates;
}

TEST(WelchLogRatio, IdenticalSamplesGiveRatioOneAndPOne) {
  const std::vector<double> rates{900, 1100, 1000, 1050};
  const auto test = welch_log_ratio(rates, rates);
  ASSERT_TRUE(test);
  EXPECT_DOUBLE_EQ(test->ratio, 1);
  EXPECT_DOUBLE_EQ(test->p_value, 1);
  EXPECT_DOUBLE_EQ(test->t, 0);
  EXPECT_LT(test->low, 1);
  EXPECT_GT(test->high, 1);
  // Equal sizes and spreads: Welch's degrees of freedom are 2 x (n - 1).
  EXPECT_NEAR(test->degrees_of_freedom, 6, 1e-9);
}

TEST(WelchLogRatio, WorkedExamples) {
  struct Case {
    std::vector<double> base_logs, new_logs;
    double ratio, low, high, p, t, df;
  };
  const Case cases[] = {
      // Means 0.1 and 0.3, variances 0.01 and 0.01, n = 3 each: standard
      // error sqrt(0.02 / 3) = 0.081650, t = 0.2 / 0.081650 = sqrt(6),
      // df = 4. t(0.975, 4) = 2.776445 (tables): 0.2 +- 0.226696, so
      // [e^-0.026696, e^0.426696] = [0.973657, 1.532186]. For 4 degrees of
      // freedom F(t) = 1/2 + 3/8 x (1 - t^2 / (12 (1 + t^2 / 4))) with
      // x = t / sqrt(1 + t^2 / 4); F(sqrt 6) = 1/2 + 3/8 x 1.549193 x 0.8 =
      // 0.964758, p = 2 (1 - F) = 0.070484.
      {{0, 0.1, 0.2}, {0.2, 0.3, 0.4}, 1.221403, 0.973657, 1.532186, 0.070484, 2.449490, 4},
      // Means 0.1 and 0.6, variances 0.02, n = 2 each: error sqrt(0.02) =
      // 0.141421, t = 3.535534, df = 2. For 2 degrees of freedom
      // F(t) = 1/2 + t / (2 sqrt(2 + t^2)): p = 1 - t / sqrt(2 + t^2) =
      // 0.071523; t(0.975, 2) = 0.95 / sqrt(2 x 0.975 x 0.025) = 4.302653:
      // 0.5 +- 0.608487, [e^-0.108487, e^1.108487] = [0.897191, 3.029771].
      {{0, 0.2}, {0.5, 0.7}, 1.648721, 0.897191, 3.029771, 0.071523, 3.535534, 2},
  };
  for (const Case& c : cases) {
    const auto test = welch_log_ratio(rates_of_logs(c.base_logs), rates_of_logs(c.new_logs));
    ASSERT_TRUE(test);
    EXPECT_NEAR(test->ratio, c.ratio, 1e-6);
    EXPECT_NEAR(test->low, c.low, 1e-6);
    EXPECT_NEAR(test->high, c.high, 1e-6);
    EXPECT_NEAR(test->p_value, c.p, 1e-6);
    EXPECT_NEAR(test->t, c.t, 1e-6);
    EXPECT_NEAR(test->degrees_of_freedom, c.df, 1e-9);
    // Swapping the sides inverts the ratio and keeps the p-value.
    const auto swapped = welch_log_ratio(rates_of_logs(c.new_logs), rates_of_logs(c.base_logs));
    ASSERT_TRUE(swapped);
    EXPECT_NEAR(swapped->ratio, 1 / test->ratio, 1e-12);
    EXPECT_NEAR(swapped->high, 1 / test->low, 1e-9);
    EXPECT_NEAR(swapped->p_value, test->p_value, 1e-12);
  }
}

TEST(WelchLogRatio, UnequalSpreadsUseSatterthwaite) {
  // Variances 0.02 (n = 2) and 0.05 / 3 (n = 4): shares 0.01 and 0.0041667,
  // df = 0.0141667^2 / (0.01^2 / 1 + 0.0041667^2 / 3) = 1.897155,
  // t = 0.15 / sqrt(0.0141667) = 1.260252.
  const auto test = welch_log_ratio(rates_of_logs({0, 0.2}), rates_of_logs({0.1, 0.2, 0.3, 0.4}));
  ASSERT_TRUE(test);
  EXPECT_NEAR(test->degrees_of_freedom, 1.897155, 1e-6);
  EXPECT_NEAR(test->t, 1.260252, 1e-6);
}

TEST(WelchLogRatio, EdgeCases) {
  // Constant sides are no evidence either way: no test.
  EXPECT_FALSE(welch_log_ratio({5, 5, 5}, {5, 5}));
  EXPECT_FALSE(welch_log_ratio({5, 5, 5}, {4, 4}));
  // One side's spread is enough: BASE constant at log 0, NEW logs 0.1 and
  // 0.3 (variance 0.02): error 0.1, t = 2 on 1 df, p = 1 - 2/pi atan... =
  // 2 x (1/2 - atan(2)/pi) = 0.295167.
  const auto one_sided = welch_log_ratio(rates_of_logs({0, 0, 0}), rates_of_logs({0.1, 0.3}));
  ASSERT_TRUE(one_sided);
  EXPECT_NEAR(one_sided->t, 2, 1e-9);
  EXPECT_NEAR(one_sided->degrees_of_freedom, 1, 1e-9);
  EXPECT_NEAR(one_sided->p_value, 0.295167, 1e-6);
  // Too few observations, or rates without a logarithm.
  EXPECT_FALSE(welch_log_ratio({5}, {4, 4}));
  EXPECT_FALSE(welch_log_ratio({5, 0}, {4, 4}));
  EXPECT_FALSE(welch_log_ratio({5, 6}, {4, NAN}));
  EXPECT_FALSE(welch_log_ratio({5, 6}, {4, 4}, 1.0));
}

TEST(PredictionLogRatio, TwoRunsAgainstTheSpreadOfFour) {
  // BASE logs 0.1, 0.2, 0.3, 0.4: mean 0.25, s^2 = 0.05 / 3. NEW logs 0 and
  // 0.1: mean 0.05. Error sqrt(0.05 / 3 x (1/4 + 1/2)) = 0.111803, t =
  // -0.2 / 0.111803 = -1.788854 on 3 df; t(0.975, 3) = 3.182446 (tables):
  // -0.2 +- 0.355808. NEW's own spread plays no part.
  const auto test =
      prediction_log_ratio(rates_of_logs({0.1, 0.2, 0.3, 0.4}), rates_of_logs({0, 0.1}));
  ASSERT_TRUE(test);
  EXPECT_NEAR(test->ratio, std::exp(-0.2), 1e-12);
  EXPECT_NEAR(test->t, -1.788854, 1e-6);
  EXPECT_DOUBLE_EQ(test->degrees_of_freedom, 3);
  EXPECT_NEAR(test->low, std::exp(-0.2 - 0.355808), 1e-6);
  EXPECT_NEAR(test->high, std::exp(-0.2 + 0.355808), 1e-6);
  const auto wider =
      prediction_log_ratio(rates_of_logs({0.1, 0.2, 0.3, 0.4}), rates_of_logs({-0.5, 0.6}));
  ASSERT_TRUE(wider);
  EXPECT_NEAR(wider->high / wider->low, test->high / test->low, 1e-9);
  // The larger side is the reference whichever side it is.
  const auto swapped =
      prediction_log_ratio(rates_of_logs({0, 0.1}), rates_of_logs({0.1, 0.2, 0.3, 0.4}));
  ASSERT_TRUE(swapped);
  EXPECT_NEAR(swapped->low, 1 / test->high, 1e-12);
  EXPECT_DOUBLE_EQ(swapped->degrees_of_freedom, 3);
}

TEST(PredictionLogRatio, EdgeCases) {
  // A reference without spread is no evidence: no test.
  EXPECT_FALSE(prediction_log_ratio({5, 5, 5}, {4}));
  EXPECT_FALSE(prediction_log_ratio({5, 5, 5}, {5}));
  // Nothing to take a spread from, or rates without a logarithm.
  EXPECT_FALSE(prediction_log_ratio({5}, {4}));
  EXPECT_FALSE(prediction_log_ratio({5, 6, 7}, {}));
  EXPECT_FALSE(prediction_log_ratio({5, 6, 7}, {0}));
  EXPECT_NEAR(*geometric_ratio({2, 8}, {4}), 1, 1e-12);
  EXPECT_FALSE(geometric_ratio({2, 8}, {-4}));
}

}  // namespace
}  // namespace tarnwick
