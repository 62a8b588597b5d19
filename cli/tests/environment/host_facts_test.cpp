#include "environment/host_facts.hpp"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(ParseCpuModel, TakesTheFirstModelName) {
  const char* cpuinfo =
      "processor\t: 0\n"
      "vendor_id\t: GenuineIntel\n"
      "model\t\t: 85\n"
      "model name\t: Example CPU @ 2.10GHz  \n"
      "processor\t: 1\n"
      "model name\t: Other CPU\n";
  EXPECT_EQ(parse_cpu_model(cpuinfo), "Example CPU @ 2.10GHz");
}

TEST(ParseCpuModel, MissingOrEmptyIsNothing) {
  EXPECT_FALSE(parse_cpu_model("").has_value());
  // "model" alone is a number, not the name.
  EXPECT_FALSE(parse_cpu_model("processor : 0\nmodel : 85\n").has_value());
  EXPECT_FALSE(parse_cpu_model("model name\t:   \n").has_value());
  EXPECT_EQ(parse_cpu_model("model name:X\nmodel name: Y"), "X");
}

TEST(ParseLoadAverage, ReadsTheOneMinuteFigure) {
  EXPECT_EQ(parse_load_average("0.52 0.58 0.59 1/312 4242\n"), 0.52);
  EXPECT_EQ(parse_load_average("12.00 1.00 1.00 2/3 1"), 12.0);
  for (const char* bad : {"", "\n", "x 0.5 0.5", "-1.0 0 0", "nan 0 0"}) {
    EXPECT_FALSE(parse_load_average(bad).has_value()) << bad;
  }
}

TEST(CombineGovernors, OneNameOrTheDistinctOnes) {
  EXPECT_FALSE(combine_governors({}).has_value());
  EXPECT_FALSE(combine_governors({"", "\n"}).has_value());
  EXPECT_EQ(combine_governors({"performance\n", "performance\n"}), "performance");
  EXPECT_EQ(combine_governors({"powersave\n", "performance\n", "", "powersave"}),
            "performance,powersave");
}

TEST(LoadSuggestsOtherWork, HalfACpuPerCpuIsTheLimit) {
  struct Case {
    double load;
    unsigned cpus;
    bool busy;
  };
  for (const Case& c :
       {Case{0.0, 1, false}, Case{0.49, 1, false}, Case{0.5, 1, true}, Case{0.99, 2, false},
        Case{1.0, 2, true}, Case{3.9, 8, false}, Case{4.0, 8, true}, Case{0.5, 0, true}}) {
    EXPECT_EQ(load_suggests_other_work(c.load, c.cpus), c.busy) << c.load << " on " << c.cpus;
  }
}

}  // namespace
}  // namespace tarnwick
